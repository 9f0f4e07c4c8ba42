#!/usr/bin/env bash
# Measures the console in a real xterm on a virtual X server: the time ConsoleOpen takes until
# the console is ready, and 10 MiB of output through a job run against the same command
# writing straight to that terminal. Usage: bench/run_console_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
cmake --build "$BUILD_DIR" --target console_bench wendrix-console -j2 >/dev/null
exec xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$BUILD_DIR/bench/console_bench" "$PWD/$BUILD_DIR/src/app/wendrix-console" xterm "${2:-5}"
