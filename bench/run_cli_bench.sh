#!/usr/bin/env bash
# wendrix-run against the command-line tools its users compare it with. Each table is one
# hyperfine run (the commands take turns, so all see the same load) and is reported as ratios
# of wendrix-run's time to each peer's; below 1.00 wendrix-run is faster.
#   WENDRIX_BUILD_DIR   build folder (default build)
#   WENDRIX_BENCH_RUNS  runs per command (default 10)
# Needs hyperfine, fdfind (fd-find), parallel and GNU time (scripts/install-deps.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
RUNS=${WENDRIX_BENCH_RUNS:-10}
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target wendrix-run -j2 >/dev/null
RUN=$(realpath "$BUILD_DIR/src/app/wendrix-run")
for tool in hyperfine fdfind parallel /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps.sh test" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# settings FILE ROOT COMMAND PARAMETERS: a settings file that runs COMMAND for every file below
# ROOT.
settings() {
  printf '%s\n' "StringPath = $2" "StringSearchText = " "CheckboxProcessFiles = 1" \
    "CheckboxProcessFolders = 0" "StringDestination = " "StringCommand = $3" \
    "StringParameters = $4" >"$1"
}

# compare TITLE NAME COMMAND [NAME COMMAND]...: one hyperfine run; the first command is
# wendrix-run's, each other a peer. Prints the mean times and wendrix-run's time / the peer's.
compare() {
  local title=$1
  shift
  local args=()
  while (($#)); do
    args+=(-n "$1" "$2")
    shift 2
  done
  hyperfine --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/times.csv" \
    "${args[@]}" >/dev/null
  echo "$title"
  awk -F, 'NR == 2 { base = $2; name = $1 }
    NR >= 2 { printf "  %-34s %8.3f s\n", $1, $2; mean[NR] = $2; names[NR] = $1 }
    END { for (i = 3; i <= NR; i++) printf "  %s / %-22s %6.3f\n", name, names[i], base / mean[i] }' \
    "$WORK/times.csv"
}

# One command at a time: /bin/true for each of 5,000 files, so that the cost of starting and
# waiting for a command is what is measured; the bare loop is a shell starting and waiting for
# each in turn, with nothing else to do.
bench_sequential_true() {
  local files=$WORK/true
  mkdir -p "$files"
  (cd "$files" && seq -w 1 5000 | sed 's/$/.f/' | xargs touch)
  settings "$WORK/true.ini" "$files/" /bin/true '"%f"'
  compare "/bin/true for 5,000 files, one at a time (target: wendrix-run -j 1 / each <= 1.00)" \
    "wendrix-run -j 1" "$RUN -j 1 $WORK/true.ini >/dev/null" \
    "find -exec \\;" "find $files -type f -exec /bin/true {} \\; >/dev/null" \
    "fdfind -j 1 -x" "fdfind -j 1 -t f . $files -x /bin/true >/dev/null" \
    "xargs -n1" "find $files -type f -print0 | xargs -0 -n1 /bin/true >/dev/null" \
    "bare loop" "sh -c 'for f in \"\$0\"/*; do /bin/true \"\$f\"; done' $files >/dev/null"
}

# Several commands at once: sha256sum over 16 files of 8 MiB on two slots.
bench_parallel_sha256() {
  local files=$WORK/sha
  mkdir -p "$files"
  for i in $(seq -w 1 16); do head -c 8M /dev/urandom >"$files/f$i.bin"; done
  settings "$WORK/sha.ini" "$files/" sha256sum '"%f"'
  compare "sha256sum over 16 files of 8 MiB, two at once (target: wendrix-run -j 2 / fd -x <= 1.00)" \
    "wendrix-run -j 2" "$RUN -j 2 $WORK/sha.ini >/dev/null" \
    "fdfind -j 2 -x" "fdfind -j 2 -t f . $files -x sha256sum >/dev/null" \
    "xargs -P2" "find $files -type f -print0 | xargs -0 -n1 -P2 sha256sum >/dev/null" \
    "parallel -k -j2" "find $files -type f | parallel --will-cite -k -j2 sha256sum >/dev/null" \
    "wendrix-run -j 1" "$RUN -j 1 $WORK/sha.ini >/dev/null"
  awk -F, 'NR == 2 { two = $2 } NR == 6 { printf "  speedup of -j 2 over -j 1: %.2fx\n", $2 / two }' \
    "$WORK/times.csv"
}

# Held output: four commands at once each writing 1 GiB. Peak resident memory (GNU time's
# maximum RSS), against wendrix-run -j 1, which holds nothing, and parallel -k, which also keeps
# the order.
bench_held_output_memory() {
  local root=$WORK/mem
  mkdir -p "$root"
  touch "$root/1" "$root/2" "$root/3" "$root/4"
  settings "$WORK/mem.ini" "$root/" /bin/sh "-c \"head -c 1073741824 /dev/zero\" %f"
  peak() { /usr/bin/time -f %M -o "$WORK/peak" "$@" >/dev/null && cat "$WORK/peak"; }
  local four one peer
  four=$(peak "$RUN" -j 4 "$WORK/mem.ini")
  one=$(peak "$RUN" -j 1 "$WORK/mem.ini")
  peer=$(cd "$root" && printf '%s\n' 1 2 3 4 |
    peak parallel --will-cite -k -j4 sh -c '"head -c 1073741824 /dev/zero"' {})
  echo "Peak memory, four commands each writing 1 GiB (target: -j 4 under 64 MiB)"
  awk -v four="$four" -v one="$one" -v peer="$peer" 'BEGIN {
    printf "  wendrix-run -j 4   %7.1f MiB\n  wendrix-run -j 1   %7.1f MiB\n  parallel -k -j4    %7.1f MiB\n",
      four / 1024, one / 1024, peer / 1024
    printf "  -j 4 / -j 1 %.2f, -j 4 / parallel -k %.2f\n", four / one, four / peer }'
}

bench_sequential_true
bench_parallel_sha256
bench_held_output_memory
