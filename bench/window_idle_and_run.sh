#!/usr/bin/env bash
# Resident memory and processor use of the desktop program while idle for 5 s and during a run
# whose command is silent for 5 s, under a virtual X server.
#   bench/window_idle_and_run.sh [BUILD_DIR]     (needs xvfb-run and xdotool)
set -euo pipefail
BUILD=$(realpath "${1:-build}")
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$BUILD"; fi

work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/home/.config/Wendrix" "$work/tree"
touch "$work/tree/a.txt"
printf 'StringPath = %s/tree/\r\nStringCommand = %s\r\nStringParameters = sleep 5000 args %%f\r\n' \
  "$work" "$BUILD/tests/wendrix-test-child" > "$work/home/.config/Wendrix/default.ini"

HOME=$work/home XDG_CONFIG_HOME=$work/home/.config WENDRIX_TERMINAL=false \
  "$BUILD/src/app/wendrix" > /dev/null 2>&1 &
pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Wendrix$' | head -n 1)
sleep 1

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status"; }
hz=$(getconf CLK_TCK)

measure() {  # label, seconds
  local t0 t1 w0 w1
  t0=$(ticks); w0=$(date +%s.%N)
  sleep "$2"
  t1=$(ticks); w1=$(date +%s.%N)
  awk -v l="$1" -v t="$((t1 - t0))" -v hz="$hz" -v w0="$w0" -v w1="$w1" -v rss="$(rss_kib)" \
    'BEGIN {printf "%-28s processor %5.2f%% of wall time, resident %.1f MiB\n", l, 100 * t / hz / (w1 - w0), rss / 1024}'
}

measure "idle window (5 s)" 5
xdotool mousemove --window "$window" 445 380 click 1   # "Start !"
sleep 0.2
measure "run, command silent (4.5 s)" 4.5
