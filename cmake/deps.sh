#!/bin/bash
# Installs what the build and the tests need, on Debian 12 or Debian 13
# (amd64), as root. Called by `make deps` with the package list in $PACKAGES.
#
# Only what dpkg does not already know as installed is asked for, so a run
# that finds everything present does nothing and needs no network. Otherwise
# there is one `apt-get update`; an index it could not fetch (a mirror in
# mid-sync) is reported, and the installs decide. Every 64-bit package must
# install: one that the release does not have is named, with the release,
# before anything is installed. 32-bit Wine comes last and may fail (no i386
# packages on the mirror, versions out of step): that is said plainly,
# remembered in $WINE32_FAILED so that later runs do not try again, and the
# x86 machines' tests are then reported skipped, not failed. The i386
# architecture is added only for that attempt, and taken away again when the
# run stops before it.
set -u

APT_GET=${APT_GET:-apt-get}
APT_CACHE=${APT_CACHE:-apt-cache}
WINE32_PACKAGE=${WINE32_PACKAGE:-wine32:i386}
WINE32_FAILED=${WINE32_FAILED:?}

installed() {
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

release() {
    if [ -r /etc/os-release ]; then
        (. /etc/os-release && echo "${PRETTY_NAME:-$ID $VERSION_ID}")
    else
        echo "this system"
    fi
}

missing=$(for p in $PACKAGES; do installed "$p" || echo "$p"; done | tr '\n' ' ')
missing=${missing% }
want32=
if [ "$(dpkg --print-architecture)" = amd64 ] && ! installed "$WINE32_PACKAGE" &&
   [ ! -e "$WINE32_FAILED" ]; then
    want32=yes
fi
[ -z "$missing" ] && [ -z "$want32" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    if [ -n "$missing" ]; then
        echo "missing packages: $missing - run 'make deps' as root to install them" >&2
        exit 1
    fi
    echo "32-bit Wine ($WINE32_PACKAGE) is not installed; run 'make deps' as root to install it." \
         "Until then the x86 machines' tests are skipped."
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
added_i386=
if [ -n "$want32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture (for 32-bit Wine)"
    dpkg --add-architecture i386 && added_i386=yes
fi
# A run that stops before 32-bit Wine was tried leaves no i386 behind.
undo_i386() {
    if [ -n "$added_i386" ]; then
        dpkg --remove-architecture i386 2>/dev/null && echo "removed the i386 architecture again"
    fi
}

"$APT_GET" update ||
    echo "apt-get update reported errors (exit $?): some package index could not be" \
         "fetched, perhaps a mirror in mid-sync; going on with the indexes it has"

if [ -n "$missing" ]; then
    # A package without an installation candidate is one this release (or
    # this machine's package sources) does not have: name it, not apt's
    # "Unable to locate package".
    unavailable=
    for p in $missing; do
        candidate=$("$APT_CACHE" policy "$p" 2>/dev/null | sed -n 's/^ *Candidate: *//p')
        if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
            unavailable="$unavailable $p"
        fi
    done
    if [ -n "$unavailable" ]; then
        echo
        echo "*** $(release) has no package named:$unavailable"
        echo "*** Nothing was installed. The Makefile's PACKAGES list is meant for Debian 12"
        echo "*** and Debian 13; check the machine's package sources (/etc/apt/sources.list*)."
        echo
        undo_i386
        exit 1
    fi
    echo "installing: $missing"
    # shellcheck disable=SC2086
    if ! "$APT_GET" install -y --no-install-recommends $missing; then
        echo
        echo "*** Installing the packages above failed on $(release) (see apt-get's messages)."
        echo
        undo_i386
        exit 1
    fi
fi

if [ -n "$want32" ]; then
    echo "installing 32-bit Wine: $WINE32_PACKAGE"
    if ! "$APT_GET" install -y --no-install-recommends "$WINE32_PACKAGE"; then
        mkdir -p "$(dirname "$WINE32_FAILED")"
        date > "$WINE32_FAILED"
        echo
        echo "*** 32-bit Wine ($WINE32_PACKAGE) could not be installed on $(release)"
        echo "*** (see apt-get's messages above). Everything else is installed; the x86"
        echo "*** machines' tests will be reported SKIPPED."
        echo "*** Remove $WINE32_FAILED to try again with the next make."
        echo
    fi
fi
exit 0
