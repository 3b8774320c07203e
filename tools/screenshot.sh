#!/usr/bin/env bash
# Starts the built program on a virtual X server, with a tray host beside it,
# and saves a picture of the fresh window.
#
#   tools/screenshot.sh [BUILD_DIR] [OUTPUT]
#
# BUILD_DIR defaults to ./build, OUTPUT to docs/screenshot.png. Set
# SCREEN_OUTPUT to also keep a picture of the whole screen (tray included).
# Needs Xvfb, xdotool, ImageMagick's import and, for the tray, trayer.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
output=${2:-$repo/docs/screenshot.png}
program=$build/ui/tandrel
[ -x "$program" ] || { echo "no program at $program: build the 'tandrel' target first" >&2; exit 1; }

# A free display number.
number=99
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
export DISPLAY=:$number

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start on $DISPLAY" >&2; exit 1; }

# A tray host, so that the tray icon has somewhere to go.
if command -v trayer >/dev/null 2>&1; then
    trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 \
        --tint 0xd0d0d0 --transparent false >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
fi

unset QT_QPA_PLATFORM
"$program" >/dev/null 2>&1 &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tandrel$' | head -n 1)
[ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
sleep 1.5  # let it paint

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
if [ -n "${SCREEN_OUTPUT:-}" ]; then import -window root "$SCREEN_OUTPUT"; fi
echo "saved $output"
