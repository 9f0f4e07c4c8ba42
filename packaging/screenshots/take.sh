#!/usr/bin/env bash
# Takes main-window.png, the screenshot of the AppStream data: the real window, filled from a
# sample settings file, under a virtual X server, cut out of the screen. Needs xvfb, xdotool and
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
printf '%s\r\n' 'StringSearchText = *.jpg' 'StringPath = /home/alex/Pictures/' \
  'CheckboxProcessFiles = 1' 'CheckboxProcessFolders = 0' \
  'StringDestination = /home/alex/Pictures-small/' 'StringCommand = /usr/bin/convert' \
  'StringParameters = "%f" -resize 50% "%d"' >"$home/.config/Wendrix/default.ini"
HOME=$home XDG_CONFIG_HOME=$home/.config WENDRIX_TERMINAL=false "$program" &
pid=$!
window=$(xdotool search --sync --onlyvisible --name '^Wendrix' | head -n 1)
sleep 1  # the first paint
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -strip "$here/main-window.png"
kill "$pid"
wait "$pid" || true
echo "$here/main-window.png: ${WIDTH}x${HEIGHT}"
