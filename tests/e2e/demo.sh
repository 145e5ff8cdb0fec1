#!/bin/sh
# What `make demo` runs after the build: the agent through a whole session
# (logon, a resident copy, a logoff whose script runs and the re-issued logoff)
# in a simulated Windows machine, told step by step.
# Paths can be changed with QUORVA_DIST_DIR, QUORVA_BUILD_ROOT and QUORVA_DEMO_WORK.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=${QUORVA_DIST_DIR:-$root/dist}
build=${QUORVA_BUILD_ROOT:-$root/build}
exec python3 "$here/demo.py" \
    --exe "$dist/x64/quorva.exe" \
    --tools "$build/x64/tools" \
    --work "${QUORVA_DEMO_WORK:-$build/e2e}" "$@"
