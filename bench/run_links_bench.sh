#!/usr/bin/env bash
# The walk over real trees full of links to folders, which it enters once each:
#   links      wendrix-run --dry-run over /usr (every file and folder, links followed)
#              vs  find -L /usr > /dev/null, in one hyperfine run
#   /sys       wendrix-run --dry-run over /sys: time and peak memory
#   link to /  wendrix-run --dry-run over a folder holding only a link to "/": time and peak
#              memory (the whole system, each folder once)
# Usage: bench/run_links_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
RUN=$(realpath "$BUILD_DIR/src/app/wendrix-run")
[ -x "$RUN" ] || { echo "build wendrix-run first: cmake --build $BUILD_DIR --target wendrix-run" >&2; exit 2; }
RUNS=${WENDRIX_BENCH_RUNS:-5}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/tree"
ln -s / "$WORK/tree/root"

settings() {  # NAME PATH
  printf 'StringPath = %s\nStringSearchText = \nCheckboxProcessFiles = 1\nCheckboxProcessFolders = 1\nStringDestination = \nStringCommand = /bin/true\nStringParameters = %%f\n' \
    "$2" > "$WORK/$1.ini"
}
settings usr /usr/
settings sys /sys/
settings tree "$WORK/tree/"

# find -L reports the loops it cuts and then exits with 1.
hyperfine -N -i --style basic --warmup 1 --runs "$RUNS" --export-json "$WORK/links.json" \
  "$RUN --dry-run $WORK/usr.ini" "find -L /usr" >&2

measure() {  # LABEL NAME
  local lines
  lines=$(/usr/bin/time -o "$WORK/time" -f '%e s, peak %M KiB' "$RUN" --dry-run "$WORK/$2.ini" | wc -l)
  printf '%-10s wendrix-run --dry-run %s, %s entries\n' "$1" "$(cat "$WORK/time")" "$lines"
}

echo
echo "Results (one machine, one session):"
python3 - "$WORK/links.json" <<'PY'
import json, sys
ours, peer = json.load(open(sys.argv[1]))["results"][:2]
cpu = lambda r: r["user"] + r["system"]
print(f"links      wendrix-run {ours['mean']:.3f} s  find -L {peer['mean']:.3f} s  "
      f"ratio {ours['mean'] / peer['mean']:.2f}x  (processor time {cpu(ours) / cpu(peer):.2f}x)")
PY
measure /sys sys
measure "link to /" tree
