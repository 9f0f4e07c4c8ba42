#!/usr/bin/env bash
# Runs the program runner's benchmarks and prints each measurement as a ratio against the peer
# measured in the same run (the two take turns, so both see the same load).
#   WENDRIX_BUILD_DIR   build folder (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target runner_bench -j2 >/dev/null

# One run per measurement: each has counters of its own, and a CSV table takes one set.
for measurement in StartCost WaitWhileChildSleeps CopyCost; do
  "$BUILD_DIR/bench/runner_bench" --benchmark_format=csv --benchmark_filter="BM_$measurement" \
    "$@" 2>/dev/null
done | awk -F, '
  $1 == "name" {
    delete column
    for (i = 1; i <= NF; i++) { key = $i; gsub(/"/, "", key); column[key] = i }
    next
  }
  {
    for (key in column) value[key] = $column[key]
    if ($1 ~ /BM_StartCost/) {
      printf "2,000 starts of /bin/true (ms): posix_spawn+waitpid %.0f, ChildStart+wait %.0f, ProcessEntry %.0f, find -exec %.0f\n",
        value["floor_ms"], value["child_start_ms"], value["process_entry_ms"], value["find_ms"]
      printf "  ChildStart+wait / posix_spawn+waitpid  %.3f  (target <= 1.15)\n", value["child_start_vs_floor"]
      printf "  ChildStart+wait / find -exec           %.3f  (target <= 1.00)\n", value["child_start_vs_find"]
      printf "  ProcessEntry / posix_spawn+waitpid     %.3f\n", value["process_entry_vs_floor"]
      printf "  ProcessEntry / find -exec              %.3f\n", value["process_entry_vs_find"]
    } else if ($1 ~ /BM_WaitWhileChildSleeps/) {
      printf "Processor time while the command sleeps 2 s: %.3f%% of the wall time (target < 1%%), %d idle calls\n",
        value["cpu_percent"], value["idle_calls"]
    } else if ($1 ~ /BM_CopyCost/) {
      printf "512 MiB copy: ProcessEntry %.0f MiB/s, writer | cat %.0f MiB/s, writer | dd bs=4096 %.0f MiB/s\n",
        value["process_entry_mib_s"], value["cat_mib_s"], value["dd_mib_s"]
      printf "  ProcessEntry time / writer | cat time  %.3f\n", value["process_entry_vs_cat"]
      printf "  ProcessEntry time / writer | dd time   %.3f  (same 4096-byte pieces)\n", value["process_entry_vs_dd"]
    }
  }'
