#!/usr/bin/env bash
# Runs make targets of this tree inside a Debian root made with debootstrap.
#
#   tools/debian_root.sh SUITE [make target ...]     default target: test
#
#   SUITE   trixie    Debian 13 (torch 2.6, Python 3.13)
#                     root: HALCYRA_DEBIAN13_ROOT, /var/cache/halcyra/debian13 by default
#           testing   whatever Debian testing is now (newest torch)
#                     root: HALCYRA_DEBIAN_TESTING_ROOT, /var/cache/halcyra/debian-<codename>
#                     by default
#
# The mirror is the one the host's own apt uses (the URIs of its stanza for the
# host's release in /etc/apt/sources.list.d/*.sources, or its `deb` line in
# /etc/apt/sources.list); HALCYRA_DEBIAN_MIRROR overrides it.
#
# testing is tracked by its codename, read from the mirror's
# dists/testing/Release: the root is made for that codename, and when testing
# has moved on to the next one a new root is made and the old one removed.
# Every root records its suite and codename in /etc/halcyra-root; a root
# recorded for another codename, or left incomplete by an interrupted
# debootstrap, is replaced.
#
# Each run copies the working tree (without build outputs) into the root's
# /src/halcyra (one copy, whichever checkout runs), next to its build folder,
# so a later run, from this checkout or a fresh clone,
# rebuilds only what changed. The tree's `make deps` runs in the root first,
# under a lock held next to the root (<root>.lock), so no two apt runs ever
# share a root; the targets then run without it. Every run also holds
# <root>.use shared from start to end, so a stale root is only removed when
# nothing runs in it. /proc and /dev are
# bind-mounted in a private mount namespace, so nothing stays mounted when the
# run ends, however it ends. Needs root (or sudo) for debootstrap, unshare and
# chroot.
set -euo pipefail

# The host's Debian mirror: the URI of the deb822 stanza (or one-line `deb`
# entry) that serves the host's own release with its main component; entries
# for other suites (security, updates, third-party archives) are skipped.
#   host_mirror [APT_DIR [CODENAME]]    defaults: /etc/apt, the host's release
host_mirror() {
  local apt=${1:-/etc/apt} codename=${2:-}
  [ -n "$codename" ] || codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
  local f
  for f in "$apt"/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v want="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && comps ~ /(^| )main( |$)/ && enabled != "no" && uri != "") {
          n = split(suites, s, " ")
          for (i = 1; i <= n; i++) if (s[i] == want) { print uri; found = 1; exit }
        }
        types = suites = comps = uri = enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); $1 = ""; sub(/^[ \t]+/, "") }
      key == "types:" { types = $0 }
      key == "suites:" { suites = $0 }
      key == "components:" { comps = $0 }
      key == "enabled:" { enabled = tolower($0) }
      key == "uris:" { uri = $1 }
      END { if (!found) flush() }
    ' "$f"
  done
  for f in "$apt"/sources.list "$apt"/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v want="$codename" '
      $1 != "deb" { next }
      { i = 2; if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ } }
      $(i + 1) == want { for (j = i + 2; j <= NF; j++) if ($j == "main") { print $i; exit } }
    ' "$f"
  done
}

# Sourced (the tests read host_mirror this way): only the functions above.
if [ "${BASH_SOURCE[0]}" != "$0" ]; then return 0; fi

if [ "$(id -u)" != 0 ]; then
  exec sudo -E "$0" "$@"
fi

SUITE=${1:-}
case "$SUITE" in
  trixie|testing) shift ;;
  *) echo "usage: $0 trixie|testing [make target ...]" >&2; exit 2 ;;
esac
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(test)
HERE=$(cd "$(dirname "$0")/.." && pwd)
CACHE=/var/cache/halcyra

log() { printf '[debian-%s] %s\n' "$SUITE" "$*"; }
die() { log "$*" >&2; exit 1; }

MIRROR=${HALCYRA_DEBIAN_MIRROR:-$(host_mirror | head -n 1)}
MIRROR=${MIRROR%/}
[ -n "$MIRROR" ] || die "no Debian mirror in the host's apt sources; set HALCYRA_DEBIAN_MIRROR"

# debootstrap and wget on the host, through the tree's one install step;
# flock and unshare are util-linux's.
"$HERE/tools/deps.sh" roots

# The codename the suite stands for now. When the mirror cannot be reached,
# an existing root of that suite is used as it is.
resolve_codename() {
  if [ "$SUITE" = trixie ]; then echo trixie; return; fi
  local c
  c=$(wget -q -O - "$MIRROR/dists/$SUITE/Release" | awk '$1 == "Codename:" { print $2; exit }') || true
  if [ -z "$c" ]; then
    local d
    for d in "$CACHE"/debian-*/etc/halcyra-root; do
      [ -f "$d" ] && grep -qx "suite=$SUITE" "$d" && c=$(sed -n 's/^codename=//p' "$d") && break
    done
    [ -n "$c" ] || die "cannot read $MIRROR/dists/$SUITE/Release"
    log "mirror unreachable: using the existing root for $c" >&2
  fi
  echo "$c"
}
CODENAME=$(resolve_codename)

if [ "$SUITE" = trixie ]; then
  ROOT=${HALCYRA_DEBIAN13_ROOT:-$CACHE/debian13}
else
  ROOT=${HALCYRA_DEBIAN_TESTING_ROOT:-$CACHE/debian-$CODENAME}
fi
MARK=$ROOT/etc/halcyra-root

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

root_current() {
  [ -x "$ROOT/usr/bin/apt-get" ] && [ -f "$MARK" ] && grep -qx "codename=$CODENAME" "$MARK"
}

make_root() {
  local tmp="$ROOT.partial" script=/usr/share/debootstrap/scripts/$CODENAME
  # The host's debootstrap may predate the codename: sid's script makes any
  # release after it.
  [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
  rm -rf "$tmp"
  log "debootstrap $CODENAME into $tmp (script $(basename "$script"), mirror $MIRROR)"
  local t0=$SECONDS
  debootstrap --variant=minbase "$CODENAME" "$tmp" "$MIRROR" "$script" \
      > "$ROOT.debootstrap.log" 2>&1 || {
    tail -n 30 "$ROOT.debootstrap.log"; die "debootstrap failed (log: $ROOT.debootstrap.log)"; }
  # A mirror that is a frozen snapshot serves Release files past their
  # Valid-Until; the signatures are still checked.
  printf 'Acquire::Check-Valid-Until "false";\n' > "$tmp/etc/apt/apt.conf.d/99halcyra-valid-until"
  printf 'suite=%s\ncodename=%s\n' "$SUITE" "$CODENAME" > "$tmp/etc/halcyra-root"
  rm -rf "$ROOT"
  mv "$tmp" "$ROOT"
  log "root made in $((SECONDS - t0)) s"
}

# Roots of this suite made for an earlier codename (testing has moved on),
# unless a run is using them right now.
remove_stale_roots() {
  local m d old
  for m in "$CACHE"/debian-*/etc/halcyra-root; do
    [ -f "$m" ] || continue
    d=${m%/etc/halcyra-root}
    [ "$d" != "$ROOT" ] && grep -qx "suite=$SUITE" "$m" && ! grep -qx "codename=$CODENAME" "$m" || continue
    old=$(sed -n 's/^codename=//p' "$m")
    if flock -n -x "$d.use" rm -rf "$d" "$d.debootstrap.log" "$d.lock" "$d.use" "$d.tree"; then
      log "removed $d (${old:-its codename} is no longer $SUITE)"
    else
      log "$d is in use: left for a later run to remove"
    fi
  done
}

mkdir -p "$(dirname "$ROOT")"
exec 8> "$ROOT.use"
flock -s 8
# One copy of the tree in the root, whichever checkout runs: a fresh clone
# (CI's) reuses the build that earlier runs left there, and the content-wise
# copy below rebuilds only what differs. Runs from several checkouts take
# turns on it (<root>.tree, held to the end of the run).
exec 7> "$ROOT.tree"
flock -x 7
exec 9> "$ROOT.lock"
flock -x 9
root_current || make_root
[ "$SUITE" = trixie ] || remove_stale_roots
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
cp /etc/hosts "$ROOT/etc/hosts"

# The tree's sources, as they stand in the working tree, over the root's copy
# (/src/halcyra); the copy keeps its build/ and built modules between runs.
TREE=src/halcyra
SRC="$ROOT/$TREE"
# The tree goes to a staging folder first; only files whose content differs
# from the copy replace it (and so are newer than any object built from the
# copy), files gone from the tree are removed, and unchanged files keep their
# times: the build in the root then redoes exactly what changed, even when the
# tree's own file times are older than the root's last build.
mkdir -p "$SRC"
STAGE=$(mktemp -d "$ROOT/src/.stage.XXXXXX")
trap 'rm -rf "$STAGE"' EXIT
tar -C "$HERE" --exclude=./build --exclude=./dist --exclude=./out --exclude=.git \
    --exclude='*.so' --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis \
    --exclude='*.egg-info' -cf - . | tar -C "$STAGE" -xf -
(cd "$SRC" && find . -path ./build -prune -o -type f ! -name '*.so' -print) | while IFS= read -r f; do
  [ -e "$STAGE/$f" ] || rm -f "$SRC/$f"
done
(cd "$STAGE" && find . -type f -print) | while IFS= read -r f; do
  if ! cmp -s "$STAGE/$f" "$SRC/$f"; then
    mkdir -p "$(dirname "$SRC/$f")"
    cp -p "$STAGE/$f" "$SRC/$f"
    touch "$SRC/$f"
  fi
done

# make is all the root needs to start: the tree's own `make deps` installs
# the rest, as it does on a fresh Debian machine. Both under the lock.
if ! in_root dpkg-query -W -f='${Status}' make 2>/dev/null | grep -q "ok installed"; then
  log "installing make in the root"
  in_root apt-get update -qq
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make >/dev/null
fi
in_root make -s -C "/$TREE" deps
flock -u 9
exec 9>&-

log "make ${TARGETS[*]} in $ROOT (torch $(in_root /usr/bin/python3 -c 'import torch; print(torch.__version__)' 2>/dev/null || echo 'not installed'))"
in_root make -C "/$TREE" "${TARGETS[@]}"
