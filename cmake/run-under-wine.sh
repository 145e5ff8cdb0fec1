#!/usr/bin/env bash
# Runs a Windows program under Wine in its own prefix, with a virtual X
# display when none is given. Usage: run-under-wine.sh PREFIX PROGRAM [ARGS...]
# The prefix is created on first use (wineboot -i). The program's exit code is
# passed through.
set -euo pipefail

prefix=$1; shift
program=$1; shift

if [[ ! -f $program ]]; then
    echo "run-under-wine: $program does not exist (run 'make build' first)" >&2
    exit 1
fi

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${QUORVA_WINE_LANG:-C.UTF-8}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine64 || command -v wine)

xvfb_pid=
cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [[ -z ${DISPLAY:-} ]]; then
    # A free display number: the first without a lock file.
    for n in $(seq 90 140); do
        if [[ ! -e /tmp/.X$n-lock && ! -e /tmp/.X11-unix/X$n ]]; then
            Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            xvfb_pid=$!
            export DISPLAY=:$n
            for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
            break
        fi
    done
fi

if [[ ! -f $prefix/system.reg ]]; then
    mkdir -p "$prefix"
    "$wine" wineboot -i >/dev/null 2>&1
    wineserver -w
fi

set +e
"$wine" "$program" "$@"
status=$?
set -e
exit $status
