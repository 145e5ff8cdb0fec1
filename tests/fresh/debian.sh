#!/bin/bash
# The README's two commands, as a new user types them, on a fresh Debian root.
#
#   tests/fresh/debian.sh trixie      (make test-debian13)
#
# Makes a minimal Debian root with debootstrap from Debian's archive, mounts
# what the build and Wine need (/proc, /sys, /dev), clones the committed tree
# (HEAD) into it, and inside it runs, as root:
#   apt-get update && apt-get install -y make     (the README's note for a bare system)
#   make demo
#   make test
#   make deps        (must now do nothing: no apt-get update when all is there)
#   make release     (its packages compared with $QUORVA_COMPARE_RELEASE, when set,
#                     by tests/release/compare_releases.py: the same tables)
# then prints ctest's summary. Every mount is undone and every process left in
# the root is ended on every way out: success, failure, Ctrl-C, SIGTERM.
#
# The bare debootstrap result may be cached (QUORVA_ROOT_CACHE, default
# /var/cache/quorva-roots): its key is the release, the variant and this
# script's package list, and it is made again when that key changes or it is
# older than a week. What is tested is always a new root unpacked from it, in
# which `make` itself installs every package; only the downloaded .deb files
# are shared between runs (apt checks each against the archive's index).
set -euo pipefail

SUITE=${1:?usage: debian.sh SUITE (for example trixie)}
MIRROR=${QUORVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
HERE=$(cd "$(dirname "$0")/../.." && pwd)
CACHE=${QUORVA_ROOT_CACHE:-/var/cache/quorva-roots}
WORK=${QUORVA_ROOT_WORK:-/var/tmp}
LOG_DIR=$HERE/build/fresh-$SUITE
VARIANT=minbase
INCLUDE=ca-certificates

if [ "$(id -u)" != 0 ]; then
    echo "debian.sh: a root is made and mounted as root; run it as root" >&2
    exit 1
fi
for tool in debootstrap git; do
    command -v "$tool" >/dev/null || { echo "debian.sh: $tool is missing (make deps installs it)" >&2; exit 1; }
done

mkdir -p "$CACHE/debs-$SUITE" "$LOG_DIR"
ROOT=$(mktemp -d "$WORK/quorva-$SUITE.XXXXXX")
LOG=$LOG_DIR/run.log
: > "$LOG"

processes_in_root() {
    local link
    for link in /proc/[0-9]*/root; do
        [ "$(readlink "$link" 2>/dev/null)" = "$ROOT" ] && { link=${link#/proc/}; echo "${link%/root}"; }
    done
    return 0
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    # Wine servers and X servers outlive the make that started them.
    local pids
    pids=$(processes_in_root)
    if [ -n "$pids" ]; then
        kill $pids 2>/dev/null || true
        sleep 2
        pids=$(processes_in_root)
        [ -n "$pids" ] && kill -9 $pids 2>/dev/null || true
    fi
    local mounts
    mounts=$(awk -v root="$ROOT" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts | sort -r)
    for m in $mounts; do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
    if awk -v root="$ROOT" 'index($2, root) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
        echo "debian.sh: something is still mounted under $ROOT; it is left in place" >&2
    else
        rm -rf --one-file-system "$ROOT"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- the bare root, from the cache when its key still holds ---
key=$(printf '%s\n' "$SUITE" "$MIRROR" "$VARIANT" "$INCLUDE" | sha256sum | cut -c1-16)
tarball=$CACHE/$SUITE-$key.tar
if [ -f "$tarball" ] && [ -z "$(find "$tarball" -mtime +7)" ]; then
    echo "fresh root: $SUITE from the cached debootstrap result $(basename "$tarball")"
else
    echo "fresh root: debootstrap $SUITE ($VARIANT) from $MIRROR"
    rm -f "$CACHE/$SUITE"-*.tar
    bare=$(mktemp -d "$WORK/quorva-bare-$SUITE.XXXXXX")
    if ! debootstrap --variant="$VARIANT" --include="$INCLUDE" "$SUITE" "$bare" "$MIRROR" >> "$LOG" 2>&1; then
        rm -rf --one-file-system "$bare"
        echo "debootstrap failed; see $LOG" >&2
        exit 1
    fi
    rm -f "$bare"/var/cache/apt/archives/*.deb
    tar -C "$bare" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$bare"
fi
tar -C "$ROOT" -xf "$tarball"

# --- what the build needs from the host ---
mount -t proc proc "$ROOT/proc"
mount --rbind /sys "$ROOT/sys" && mount --make-rslave "$ROOT/sys"
mount --rbind /dev "$ROOT/dev" && mount --make-rslave "$ROOT/dev"
mount --bind "$CACHE/debs-$SUITE" "$ROOT/var/cache/apt/archives"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
# apt keeps what it downloaded, so the next run finds it.
echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' > "$ROOT/etc/apt/apt.conf.d/10keep"

# --- the committed tree ---
git clone -q --no-hardlinks "$HERE" "$ROOT/root/quorva"
echo "tree: $(git -C "$ROOT/root/quorva" log -1 --format='%h %s')"

run_in_root() {
    env -i HOME=/root TERM=dumb LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        chroot "$ROOT" /bin/bash -c "cd /root/quorva && $1"
}

echo "release: $(run_in_root '. /etc/os-release && echo "$PRETTY_NAME ($(cat /etc/debian_version))"')"
step() {
    local name=$1 command=$2 start=$SECONDS
    echo "== $name"
    # In the background, so that a signal is acted on at once, not when the
    # step is over: bash runs a trap only between commands, or in `wait`.
    run_in_root "$command" >> "$LOG" 2>&1 &
    if wait $!; then
        echo "   ok, $((SECONDS - start)) s"
    else
        echo "   FAILED after $((SECONDS - start)) s; the last lines of $LOG:"
        tail -n 40 "$LOG" | sed 's/^/   | /'
        return 1
    fi
}

status=0
step "apt-get update && apt-get install -y make" \
     "apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y make" || status=1
[ $status = 0 ] && { step "make demo" "make demo" || status=1; }
if [ $status = 0 ]; then
    step "make test" "make test" || status=1
fi
if [ $status = 0 ]; then
    echo "== make deps, a second time"
    again=$(run_in_root "make --no-print-directory deps" 2>&1) || status=1
    if [ -n "$again" ]; then
        echo "   FAILED: with every package present it still said:"
        echo "$again" | sed 's/^/   | /'
        status=1
    else
        echo "   ok, nothing to do"
    fi
fi
if [ $status = 0 ]; then
    step "make release" "make release" || status=1
    rm -rf "$LOG_DIR/release"
    cp -r "$ROOT/root/quorva/dist/release" "$LOG_DIR/release" 2>/dev/null || status=1
    echo "   the packages' creating application: $(run_in_root \
        'msiinfo suminfo dist/release/*-x64.msi | sed -n "s/^Application: //p"')"
    if [ $status = 0 ] && [ -n "${QUORVA_COMPARE_RELEASE:-}" ]; then
        echo "== the release against $QUORVA_COMPARE_RELEASE"
        python3 "$HERE/tests/release/compare_releases.py" "$QUORVA_COMPARE_RELEASE" "$LOG_DIR/release" |
            sed 's/^/   /' || status=1
    fi
fi
echo "versions: $(run_in_root 'for p in wine x86_64-w64-mingw32-g++-win32 cmake wixl; do command -v $p >/dev/null && printf "%s " "$($p --version 2>&1 | head -1)"; done; true' 2>/dev/null)"
# ctest's own closing lines, and what make test said after them.
summary=$(grep -E '^[0-9]+% tests passed|^Total Test time|^failed once|^failed every try|^x86 machines' "$LOG" || true)
if [ -n "$summary" ]; then
    echo "$summary" | sed "s/^/$SUITE: /"
fi
exit $status
