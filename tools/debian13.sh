#!/usr/bin/env bash
# Runs a make target of this tree inside a Debian 13 root (torch 2.6, Python 3.13).
#
#   tools/debian13.sh [make target ...]     default: test
#
# The root is made once with debootstrap from Debian's registry and reused:
# HALCYRA_DEBIAN13_ROOT, /var/cache/halcyra/debian13 by default (outside the
# checkout). Each run copies the working tree (without build outputs) into the
# root's /src/<checkout>, next to the root's own build folder, so a second run
# rebuilds only what changed. /proc and /dev are bind-mounted in a private
# mount namespace, so nothing stays mounted when the run ends, however it ends.
# Needs root (or sudo) for debootstrap, unshare and chroot.
set -euo pipefail

if [ "$(id -u)" != 0 ]; then
  exec sudo -E "$0" "$@"
fi

HERE=$(cd "$(dirname "$0")/.." && pwd)
ROOT=${HALCYRA_DEBIAN13_ROOT:-/var/cache/halcyra/debian13}
MIRROR=${HALCYRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(test)

log() { printf '[debian13] %s\n' "$*"; }

host_install() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing on the host: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Runs a command inside the root with /proc, /dev and /dev/shm mounted for the
# command's lifetime only.
in_root() {
  unshare --mount --propagation private -- /bin/sh -c '
    set -e
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    mount --bind /dev/shm "$root/dev/shm"
    mount --bind /dev/pts "$root/dev/pts"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
  ' in_root "$ROOT" "$@"
}

make_root() {
  host_install debootstrap debian-archive-keyring
  local tmp="$ROOT.partial"
  rm -rf "$tmp"
  mkdir -p "$(dirname "$ROOT")"
  log "debootstrap trixie into $tmp"
  debootstrap --variant=minbase trixie "$tmp" "$MIRROR" > "$(dirname "$ROOT")/debootstrap.log" 2>&1 || {
    tail -n 30 "$(dirname "$ROOT")/debootstrap.log"; exit 1; }
  rm -rf "$ROOT"
  mv "$tmp" "$ROOT"
}

[ -x "$ROOT/usr/bin/apt-get" ] || make_root
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
cp /etc/hosts "$ROOT/etc/hosts"

# make is all the root needs to start: the tree's own `make deps` installs
# the rest, as it does on a fresh Debian machine.
if ! in_root dpkg-query -W -f='${Status}' make 2>/dev/null | grep -q "ok installed"; then
  log "installing make in the root"
  in_root apt-get update -qq
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make >/dev/null
fi

# The tree's sources, as they stand in the working tree, over the root's copy
# of this checkout (one copy per checkout path, so several checkouts can use
# one root at once); the copy keeps its build/ and built modules between runs.
TREE=src/$(basename "$HERE")-$(printf '%s' "$HERE" | md5sum | cut -c1-8)
SRC="$ROOT/$TREE"
mkdir -p "$SRC"
find "$SRC" -mindepth 1 -path "$SRC/build" -prune -o -type f ! -name '*.so' -print0 | xargs -0 rm -f
tar -C "$HERE" --exclude=./build --exclude=./dist --exclude=./out --exclude=.git \
    --exclude='*.so' --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis \
    --exclude='*.egg-info' -cf - . | tar -C "$SRC" -xf -

log "make ${TARGETS[*]} (torch $(in_root /usr/bin/python3 -c 'import torch; print(torch.__version__)' 2>/dev/null || echo 'not yet installed'))"
in_root make -C "/$TREE" "${TARGETS[@]}"
