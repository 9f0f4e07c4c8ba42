#!/usr/bin/env bash
# Time from process start to the window shown, and resident memory of the idle window: the Main
# window against a minimal Qt Widgets program showing one empty 630 x 400 window, alternating, in
# one run on one virtual X server. Prints medians and ratios (Wendrix / peer).
#   window_startup.sh [build folder] [runs]
set -euo pipefail
BUILD_DIR=$(realpath "${1:-build}")
RUNS=${2:-15}
WENDRIX="$BUILD_DIR/bench/window_startup_wendrix"
PEER="$BUILD_DIR/bench/window_startup_peer"
for program in "$WENDRIX" "$PEER"; do
  [ -x "$program" ] || { echo "missing $program (build the bench targets)" >&2; exit 1; }
done
export QT_QPA_PLATFORM=xcb
exec xvfb-run -a -s "-screen 0 1280x1024x24" python3 - "$WENDRIX" "$PEER" "$RUNS" <<'PY'
import statistics, subprocess, sys, time

wendrix, peer, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])

def measure(program):
    start = time.clock_gettime_ns(time.CLOCK_REALTIME)
    out = subprocess.run([program], capture_output=True, text=True, timeout=60).stdout
    values = dict(line.split() for line in out.splitlines() if line.strip())
    return (int(values["shown_ns"]) - start) / 1e6, int(values["rss_kb"])

measure(wendrix); measure(peer)  # warm the caches of both
results = {wendrix: [], peer: []}
for _ in range(runs):
    for program in (wendrix, peer):
        results[program].append(measure(program))

def summary(program):
    shown = statistics.median(r[0] for r in results[program])
    rss = statistics.median(r[1] for r in results[program])
    return shown, rss

w_shown, w_rss = summary(wendrix)
p_shown, p_rss = summary(peer)
print(f"runs: {runs} each, alternating")
print(f"start to shown: wendrix {w_shown:.1f} ms, peer {p_shown:.1f} ms, ratio {w_shown / p_shown:.2f}")
print(f"idle RSS:       wendrix {w_rss / 1024:.1f} MiB, peer {p_rss / 1024:.1f} MiB, ratio {w_rss / p_rss:.2f}")
PY
