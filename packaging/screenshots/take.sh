#!/usr/bin/env bash
# Takes main-window.png, the screenshot of the AppStream data: the real window, filled from a
# sample settings file (main-window.ini), under a virtual X server, cut out of the screen. Needs xvfb, xdotool and
# ImageMagick, and a built program (default: build/src/app/wendrix).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "${1:-$here/../../build/src/app/wendrix}")
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program"
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.config/Wendrix"
# The values the picture shows; the tests run the same file (tests/packaging/examples_test.py).
cp "$here/main-window.ini" "$home/.config/Wendrix/default.ini"
HOME=$home XDG_CONFIG_HOME=$home/.config WENDRIX_TERMINAL=false "$program" &
pid=$!
window=$(xdotool search --sync --onlyvisible --name '^Wendrix' | head -n 1)
sleep 1  # the first paint
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -strip "$here/main-window.png"
kill "$pid"
wait "$pid" || true
echo "$here/main-window.png: ${WIDTH}x${HEIGHT}"
