#!/usr/bin/env bash
# Runs a Windows program under Wine in its own prefix, with a virtual X
# display when none is given. Usage: run-under-wine.sh [--win32] PREFIX PROGRAM [ARGS...]
# Without --win32 the prefix is 64-bit Windows and the program runs with the
# 64-bit loader; with it, the prefix is 32-bit Windows (WINEARCH=win32) and the
# program a 32-bit one. The prefix is created on first use (wineboot -i) and
# again when what decides its kind changes (the Wine release, whether 32-bit
# Wine is installed). The program's exit code is passed through; 77 (ctest's
# skip) when a 32-bit prefix cannot run here, with the reason.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
arch=win64
if [[ ${1:-} == --win32 ]]; then arch=win32; shift; fi
prefix=$1; shift
program=$1; shift

if [[ ! -f $program ]]; then
    echo "run-under-wine: $program does not exist (run 'make build' first)" >&2
    exit 1
fi

wine32=${QUORVA_WINE32_LOADER:-/usr/lib/wine/wine}
wine64=${QUORVA_WINE64_LOADER:-/usr/lib/wine/wine64}
if [[ $arch == win32 ]]; then
    if ! reason=$(python3 "$here/../tests/e2e/machines.py" x86-reason); then
        echo "SKIPPED: 32-bit Windows cannot run here: $reason"
        exit 77
    fi
    wine=$wine32
else
    wine=$wine64
fi

export WINEPREFIX=$prefix
export WINEARCH=$arch
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${QUORVA_WINE_LANG:-C.UTF-8}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset WINELOADER

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
            Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
            xvfb_pid=$!
            export DISPLAY=:$n
            for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
            break
        fi
    done
fi

# A 64-bit prefix made before 32-bit Wine was installed does not start once it is.
stamp="$($wine --version) wine32=$([[ -x $wine32 ]] && echo yes || echo no) $arch"
if [[ ! -f $prefix/system.reg || "$(cat "$prefix.stamp" 2>/dev/null)" != "$stamp" ]]; then
    rm -rf "$prefix"
    mkdir -p "$prefix"
    "$wine" wineboot.exe -i >/dev/null 2>&1
    wineserver -w
    echo "$stamp" > "$prefix.stamp"
fi

set +e
"$wine" "$program" "$@"
status=$?
set -e
exit $status
