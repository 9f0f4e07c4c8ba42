#!/usr/bin/env bash
# The job run against the usual tools, measured in one go with hyperfine:
#   commands   wendrix-run starting /bin/true on 10,000 files in 1,000 folders
#              vs  find ROOT -type f -exec /bin/true {} \;
#   mirroring  wendrix-run recreating the 1,000 folders (no command)
#              vs  rsync -a -f'+ */' -f'- *' ROOT/ DEST/
#   walk       wendrix-run with nothing to do (no command, no destination)
#              vs  find ROOT > /dev/null
#   listings   the same with a command and a search text that matches nothing, so that every
#              folder is listed twice  vs  find ROOT > /dev/null
#   memory     peak resident size over one folder of 100,000 files, against find
# Usage: bench/run_walk_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
RUN=$(realpath "$BUILD_DIR/src/app/wendrix-run")
[ -x "$RUN" ] || { echo "build wendrix-run first: cmake --build $BUILD_DIR --target wendrix-run" >&2; exit 2; }
RUNS=${WENDRIX_BENCH_RUNS:-5}
COMMAND_RUNS=${WENDRIX_BENCH_COMMAND_RUNS:-3}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ROOT=$WORK/tree
DEST=$WORK/copy
WIDE=$WORK/wide

# 10 top folders of 99 subfolders each (1,000 folders), 10 files in every folder.
echo "generating the trees in $WORK" >&2
mkdir -p "$ROOT"
for top in $(seq -w 0 9); do
  for sub in $(seq -w 0 98); do mkdir -p "$ROOT/t$top/s$sub"; done
done
find "$ROOT" -mindepth 1 -type d | while read -r folder; do
  (cd "$folder" && touch f0.txt f1.txt f2.txt f3.txt f4.txt f5.dat f6.dat f7.dat f8.jpg f9.jpg)
done
mkdir -p "$WIDE"
(cd "$WIDE" && seq -f 'file%06g.txt' 1 100000 | xargs touch)
echo "folders: $(find "$ROOT" -mindepth 1 -type d | wc -l), files: $(find "$ROOT" -type f | wc -l)" >&2

settings() {  # NAME PATH DESTINATION COMMAND PARAMETERS SEARCH
  printf 'StringPath = %s\nStringSearchText = %s\nCheckboxProcessFiles = 1\nCheckboxProcessFolders = 0\nStringDestination = %s\nStringCommand = %s\nStringParameters = %s\n' \
    "$2" "$6" "$3" "$4" "$5" > "$WORK/$1.ini"
}
settings commands "$ROOT/" "" /bin/true '%f' ''
settings mirror "$ROOT/" "$DEST/" '' '%f' ''
settings walk "$ROOT/" "" '' '%f' ''
settings listings "$ROOT/" "" /bin/true '%f' '*.none'
settings wide "$WIDE/" "" /bin/true '%f' '*.none'

ratio() {  # JSON_FILE LABEL
  python3 - "$1" "$2" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
ours, peer = results[0], results[1]
cpu = lambda r: r["user"] + r["system"]
# Processor time as well: wall time swings when other work shares the machine.
print(f"{sys.argv[2]:<10} wendrix-run {ours['mean']:.3f} s  peer {peer['mean']:.3f} s  "
      f"ratio {ours['mean'] / peer['mean']:.2f}x  (processor time {cpu(ours) / cpu(peer):.2f}x)")
PY
}

hyperfine -N --style basic --runs "$COMMAND_RUNS" --export-json "$WORK/commands.json" \
  "$RUN $WORK/commands.ini" "find $ROOT -type f -exec /bin/true {} ;" >&2
hyperfine --style basic --runs "$RUNS" --export-json "$WORK/mirror.json" \
  --prepare "rm -rf $DEST && mkdir $DEST" \
  "$RUN $WORK/mirror.ini" "rsync -a -f'+ */' -f'- *' $ROOT/ $DEST/" >&2
hyperfine -N --style basic --warmup 1 --runs "$RUNS" --export-json "$WORK/walk.json" \
  "$RUN $WORK/walk.ini" "find $ROOT" >&2
hyperfine -N --style basic --warmup 1 --runs "$RUNS" --export-json "$WORK/listings.json" \
  "$RUN $WORK/listings.ini" "find $ROOT" >&2

peak() { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1; }
ours_kb=$(peak "$RUN" "$WORK/wide.ini")
find_kb=$(peak find "$WIDE")

echo
echo "Results (mean of the runs, one machine, one session):"
ratio "$WORK/commands.json" commands
ratio "$WORK/mirror.json" mirroring
ratio "$WORK/walk.json" walk
ratio "$WORK/listings.json" listings
echo "memory     100,000 files in one folder: wendrix-run peak ${ours_kb} KiB" \
     "(search matching nothing), find peak ${find_kb} KiB, ratio" \
     "$(python3 -c "print(f'{$ours_kb / $find_kb:.2f}x')")"
