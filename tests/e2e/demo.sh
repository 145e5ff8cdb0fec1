#!/bin/sh
# What `make demo` runs after the build: the agent through a whole session
# (logon, a resident copy, a logoff whose script runs and the re-issued logoff)
# in a simulated Windows machine, told step by step. ARCH=x64 (the default)
# runs the x64 agent on 64-bit Windows, ARCH=x86 the 32-bit agent on 32-bit
# Windows. Paths can be changed with QUORVA_DIST_DIR, QUORVA_BUILD_ROOT and
# QUORVA_DEMO_WORK.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=${QUORVA_DIST_DIR:-$root/dist}
build=${QUORVA_BUILD_ROOT:-$root/build}
arch=${ARCH:-x64}
case $arch in
    x64|x86) ;;
    *) echo "ARCH must be x64 or x86, not $arch" >&2; exit 2 ;;
esac
exec python3 "$here/demo.py" --machine "$arch" --dist "$dist" --build "$build" \
    ${QUORVA_DEMO_WORK:+--work "$QUORVA_DEMO_WORK"} "$@"
