#!/usr/bin/env bash
# The smallest demonstration: starts quorva.exe under Wine on a virtual
# display, shows that its window exists but is hidden, closes it and reports
# how it ended. Used by `make demo` until the full demonstration is there.
# Usage: demo-window.sh WORKDIR QUORVA_EXE
set -euo pipefail

work=$1
exe=$2
here=$(cd "$(dirname "$0")/.." && pwd)
probe=$here/build/x64/tools/quorvaprobe.exe

export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$work"

xvfb_pid=
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

for n in $(seq 90 140); do
    if [[ ! -e /tmp/.X$n-lock && ! -e /tmp/.X11-unix/X$n ]]; then
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        export DISPLAY=:$n
        break
    fi
done
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/${DISPLAY#:} || -e /tmp/.X11-unix/X${DISPLAY#:} ]] && break; sleep 0.1; done

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "== preparing a Windows machine under Wine ($WINEPREFIX)"
    wine wineboot -i >/dev/null 2>&1
    wineserver -w
fi

echo "== starting $exe setup"
wine "$exe" setup >/dev/null 2>&1 &
agent=$!
sleep 4

if [[ -f $probe ]]; then
    pid=$(wine "$probe" list quorva.exe | sed -n 's/^pid=\([0-9]*\).*/\1/p' | head -1)
    if [[ -z $pid ]]; then
        echo "the agent is not running (it ended on its own: nothing to keep it resident here)"
    else
        echo "== the agent's windows (process $pid)"
        wine "$probe" windows "$pid" | grep -E '^(hwnd|class|caption|visible|exstyle|width|height)='
        hwnd=$(wine "$probe" windows "$pid" | awk -F= '/^hwnd=/{h=$2} /^class=#32770/{print h; exit}')
        echo "== sending WM_CLOSE to $hwnd"
        wine "$probe" close "$hwnd" >/dev/null
        wine "$probe" wait "$pid" 10000
    fi
fi
if wait "$agent"; then echo "== the agent ended cleanly (exit code 0)"; else echo "== the agent ended with exit code $?"; fi
