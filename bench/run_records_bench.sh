#!/usr/bin/env bash
# What wendrix-run's memory of its entries costs: an incremental re-run (--creates) over entries
# that are all up to date against a find walk that stats the same files, and --joblog and --tag
# against the same runs without them; reported as ratios of times measured in one run.
#   WENDRIX_BUILD_DIR   build folder (default build)
#   WENDRIX_BENCH_RUNS  runs per command (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
RUNS=${WENDRIX_BENCH_RUNS:-10}
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target wendrix-run -j2 >/dev/null
RUN=$(realpath "$BUILD_DIR/src/app/wendrix-run")

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# compare TITLE NAME COMMAND NAME COMMAND: the two commands in turn, RUNS times each after one
# warm-up; the first one's time over the second's, of the medians and of the best times. The
# machine is shared: taking turns gives both the same load.
compare() {
  local i start middle end
  : >"$WORK/a" && : >"$WORK/b"
  for i in $(seq 0 "$RUNS"); do
    start=$(date +%s%N)
    bash -c "$3" >/dev/null
    middle=$(date +%s%N)
    bash -c "$5" >/dev/null
    end=$(date +%s%N)
    ((i == 0)) && continue
    echo $((middle - start)) >>"$WORK/a"
    echo $((end - middle)) >>"$WORK/b"
  done
  echo "$1"
  paste <(sort -n "$WORK/a") <(sort -n "$WORK/b") | awk -v an="$2" -v bn="$4" '
    { a[NR] = $1; b[NR] = $2 }
    END { m = int((NR + 1) / 2)
      printf "  %-26s median %8.3f s, best %8.3f s\n", an, a[m] / 1e9, a[1] / 1e9
      printf "  %-26s median %8.3f s, best %8.3f s\n", bn, b[m] / 1e9, b[1] / 1e9
      printf "  ratio of medians %.3f, of best times %.3f\n", a[m] / b[m], a[1] / b[1] }'
}

# 5,000 files in 50 folders, each with its made file beside it in the destination, newer.
tree=$WORK/tree made=$WORK/made
for d in $(seq -w 1 50); do
  mkdir -p "$tree/d$d" "$made/d$d"
  (cd "$tree/d$d" && seq -w 1 100 | sed 's/$/.jpg/' | xargs touch)
done
sleep 0.01
for d in $(seq -w 1 50); do (cd "$made/d$d" && seq -w 1 100 | sed 's/$/.webp/' | xargs touch); done
compare "Re-run over 5,000 up-to-date entries (target: wendrix-run / find <= 1.20)" \
  "wendrix-run --creates" "$RUN --path $tree --destination $made --command /bin/false \
    --parameters %f --creates %d%n.webp" \
  "find stat of both trees" "find $tree $made -printf '%T@\n' >/dev/null"

mkdir -p "$WORK/true"
(cd "$WORK/true" && seq -w 1 5000 | sed 's/$/.f/' | xargs touch)
compare "/bin/true for 5,000 files (target: with --joblog / without <= 1.05)" \
  "with --joblog" "rm -f $WORK/log; $RUN --path $WORK/true --command /bin/true --joblog $WORK/log" \
  "without" "rm -f $WORK/log; $RUN --path $WORK/true --command /bin/true"

mkdir -p "$WORK/gib"
(cd "$WORK/gib" && seq -w 1 16 | xargs touch)
write='-c "head -c 67108864 /dev/zero" %f'
compare "16 commands writing 64 MiB each, 1 GiB (target: with --tag / without <= 1.05)" \
  "with --tag" "$RUN --path $WORK/gib --command /bin/sh --parameters '$write' --tag >/dev/null" \
  "without" "$RUN --path $WORK/gib --command /bin/sh --parameters '$write' >/dev/null"
