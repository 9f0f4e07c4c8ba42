#!/usr/bin/env bash
# Whether the window repaints while a console window is awaited: "Start !" with a terminal
# launcher that never connects, another window laid over the Main window and taken away during
# the wait, then a picture of the screen. The peer is the same program stopped (SIGSTOP) after
# the press: a window that does not repaint keeps the other window's pixels.
#   bench/window_console_wait_repaint.sh [BUILD_DIR] [OUT_DIR]   (needs xvfb-run, xdotool, xterm,
#   imagemagick); writes OUT_DIR/live.png and OUT_DIR/stopped.png
set -euo pipefail
BUILD=$(realpath "${1:-build}")
OUT=$(realpath "${2:-.}")
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BUILD" "$OUT"; fi

work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -CONT "$pid" 2>/dev/null && kill "$pid"; rm -rf "$work"' EXIT
mkdir -p "$work/home/.config/Wendrix" "$work/tree"
touch "$work/tree/a.txt"
printf '#!/bin/sh\nexec sleep 30\n' > "$work/never.sh"
chmod +x "$work/never.sh"
printf 'StringPath = %s/tree/\r\nStringCommand = true\r\nStringParameters = %%f\r\n' "$work" \
  > "$work/home/.config/Wendrix/default.ini"

picture() {  # name, "stop" to stop the program after the press
  HOME=$work/home XDG_CONFIG_HOME=$work/home/.config WENDRIX_TERMINAL=$work/never.sh \
    "$BUILD/src/app/wendrix" > /dev/null 2>&1 &
  pid=$!
  local window cover
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Wendrix$' | head -n 1)
  xdotool windowmove "$window" 0 0
  sleep 0.5
  xdotool mousemove --window "$window" 445 380 click 1   # "Start !": the wait begins
  if [ "${2:-}" = stop ]; then kill -STOP "$pid"; fi
  sleep 0.3
  xterm -geometry 80x20+20+20 -bg red -e sleep 30 2> /dev/null &
  cover=$!
  sleep 1
  kill "$cover"; wait "$cover" || true
  sleep 1   # 2.3 s into the wait
  import -window root -crop 700x480+0+0 "$OUT/$1.png"
  kill -CONT "$pid"; kill "$pid"; wait "$pid" || true; pid=
}
picture live
picture stopped stop
echo "pictures: $OUT/live.png (the program waiting) and $OUT/stopped.png (the program stopped)"
