#!/usr/bin/env bash
# Runs make targets of this tree in the Debian 13 root (torch 2.6, Python 3.13):
#   tools/debian13.sh [make target ...]     default: test
# The same as tools/debian_root.sh trixie (see there).
exec "$(dirname "$0")/debian_root.sh" trixie "$@"
