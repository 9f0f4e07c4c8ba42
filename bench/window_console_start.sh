#!/usr/bin/env bash
# Time from pressing "Start !" to the first command running in the console window, with xterm as
# the terminal, against the peer: xterm started directly to run the same command. Alternating,
# one fresh program per sample (the console window opens once per program), on one virtual X
# server. Prints medians and the ratio (Wendrix / peer).
#   bench/window_console_start.sh [BUILD_DIR] [runs]     (needs xvfb-run, xdotool and xterm)
set -euo pipefail
BUILD=$(realpath "${1:-build}")
RUNS=${2:-9}
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$BUILD" "$RUNS"; fi
command -v xterm >/dev/null || { echo "needs xterm" >&2; exit 1; }

work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/home/.config/Wendrix" "$work/tree"
touch "$work/tree/a.txt"
printf '#!/bin/sh\ndate +%%s%%N > "%s/stamp"\n' "$work" > "$work/stamp.sh"
chmod +x "$work/stamp.sh"
settings() {
  printf 'StringPath = %s/tree/\r\nStringCommand = %s/stamp.sh\r\nStringParameters = %%f\r\n' \
    "$work" "$work" > "$work/home/.config/Wendrix/default.ini"
}
wait_stamp() {
  for _ in $(seq 2000); do [ -s "$work/stamp" ] && { cat "$work/stamp"; return; }; sleep 0.005; done
  echo "no command ran" >&2; exit 1
}

wendrix_sample() {
  settings; rm -f "$work/stamp"
  HOME=$work/home XDG_CONFIG_HOME=$work/home/.config WENDRIX_TERMINAL="xterm -e" \
    "$BUILD/src/app/wendrix" > /dev/null 2>&1 &
  pid=$!
  local window t0 t1
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Wendrix$' | head -n 1)
  sleep 0.3
  xdotool mousemove --window "$window" 445 380
  t0=$(date +%s%N)
  xdotool click 1   # "Start !"
  t1=$(wait_stamp)
  # The console window closes after the program; the next sample starts once it has gone.
  local console
  console=$(pgrep -P "$pid" xterm || true)
  kill "$pid"; wait "$pid" || true; pid=
  while [ -n "$console" ] && kill -0 "$console" 2> /dev/null; do sleep 0.01; done
  echo $(((t1 - t0) / 1000))
}

peer_sample() {
  rm -f "$work/stamp"
  local t0 t1 xpid
  t0=$(date +%s%N)
  xterm -e "$work/stamp.sh" > /dev/null 2>&1 &
  xpid=$!
  t1=$(wait_stamp)
  wait "$xpid" || true
  echo $(((t1 - t0) / 1000))
}

wendrix_sample > /dev/null; peer_sample > /dev/null   # warm the caches of both
w=(); p=()
for _ in $(seq "$RUNS"); do w+=("$(wendrix_sample)"); p+=("$(peer_sample)"); done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
wm=$(median "${w[@]}"); pm=$(median "${p[@]}")
echo "runs: $RUNS each, alternating (microseconds: wendrix ${w[*]}; peer ${p[*]})"
awk -v w="$wm" -v p="$pm" 'BEGIN {printf "Start ! to the command in the console: wendrix %.1f ms, xterm alone %.1f ms, ratio %.2f\n", w / 1000, p / 1000, w / p}'
