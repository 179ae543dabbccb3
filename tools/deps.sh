#!/usr/bin/env bash
# The one place that installs Debian packages for this tree, on the host or
# inside a Debian root: the Makefile's `deps`, tools/debian_root.sh and
# .ci/run all come here.
#
#   tools/deps.sh [GROUP ...]      default group: build
#
#   GROUP   build     what building, testing, the demo and the deployment example need
#           roots     what tools/debian_root.sh needs on the host to make roots
#           coverage  what `make coverage` needs beyond build (Python line coverage)
#
# Only packages that are missing are installed. Installs never run two at a
# time: halcyra's own runs take turns on one lock (/run/lock/halcyra-apt.lock,
# HALCYRA_APT_LOCK), and an apt run of anybody else's (another shell,
# unattended-upgrades) is waited for, up to HALCYRA_APT_WAIT seconds (600),
# instead of failing on apt's lock. Any other failure is a failure, with apt's
# own message.
set -euo pipefail

declare -A GROUPS_OF=(
  [build]="python3-torch python3-torchvision libtorch-dev python3-pybind11 python3-dev
           python3-pytest python3-setuptools python3-wheel python3-hypothesis python3-numpy
           python3-pil ninja-build g++ make cmake libgtest-dev libpng-dev"
  [roots]="debootstrap debian-archive-keyring wget"
  [coverage]="python3-coverage"
)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build)
wanted=()
for g in "${groups[@]}"; do
  [ -n "${GROUPS_OF[$g]+x}" ] || { echo "tools/deps.sh: unknown group '$g' (${!GROUPS_OF[*]})" >&2; exit 2; }
  read -r -a pkgs <<< "$(echo ${GROUPS_OF[$g]})"
  wanted+=("${pkgs[@]}")
done

missing_packages() {
  local p
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || echo "$p"
  done
}

[ -n "$(missing_packages)" ] || exit 0
if [ "$(id -u)" != 0 ]; then
  exec sudo -E "$0" "$@"
fi

WAIT=${HALCYRA_APT_WAIT:-600}
LOCK=${HALCYRA_APT_LOCK:-/run/lock/halcyra-apt.lock}
mkdir -p "$(dirname "$LOCK")"
exec 9> "$LOCK"
if ! flock -n 9; then
  echo "[deps] waiting for another halcyra install to finish ($LOCK)"
  flock -w "$WAIT" 9 || { echo "[deps] still locked after $WAIT s: $LOCK" >&2; exit 1; }
fi

# Whatever the run that held the lock installed is not installed again.
mapfile -t missing < <(missing_packages)
[ ${#missing[@]} -gt 0 ] || exit 0

# Runs an apt-get command; while it fails on a lock that another apt run
# holds, waits and runs it again. apt-get update does not honour
# DPkg::Lock::Timeout for its lists lock, hence the loop.
apt_get() {
  local err start=$SECONDS said=""
  err=$(mktemp)
  while true; do
    if DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$WAIT" "$@" 2> "$err"; then
      cat "$err" >&2; rm -f "$err"; return 0
    fi
    if grep -q -E 'Could not get lock|Unable to (acquire|lock)' "$err" && [ $((SECONDS - start)) -lt "$WAIT" ]; then
      [ -n "$said" ] || echo "[deps] apt is in use by another program: waiting ($(grep -m1 -o 'held by .*' "$err" || echo 'lock held'))"
      said=1
      sleep 3
      continue
    fi
    cat "$err" >&2; rm -f "$err"; return 1
  done
}

echo "[deps] installing: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq "${missing[@]}" > /dev/null
echo "[deps] installed in $SECONDS s"
