#!/usr/bin/env bash
# Installs what is missing (what building needs, and the test tools), builds, and runs every
# test: the whole suite (window tests offscreen, the desktop smoke tests under a virtual X
# server, the documentation's command lines and the completions), then the window-free layers
# again with AddressSanitizer and UndefinedBehaviorSanitizer, and the settings reader fuzzer
# for a bounded time, and the Debian package is built and checked (scripts/check-package.sh).
#   WENDRIX_WERROR=ON     warnings are errors (CI)
#   WENDRIX_QUICK=1       skip the sanitizer build, the fuzzer and the package
#   WENDRIX_FUZZ_SECONDS  how long the fuzzer runs (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test

BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
WENDRIX_BUILD_DIR=$BUILD_DIR scripts/build.sh
(cd "$BUILD_DIR" && xvfb-run -a -s "-screen 0 1280x1024x24" \
   ctest --output-on-failure --no-tests=error --timeout 300 -j2 </dev/null)

if [ "${WENDRIX_QUICK:-0}" != 1 ]; then
  SAN_DIR=${BUILD_DIR}-sanitize
  CC=clang CXX=clang++ WENDRIX_BUILD_DIR=$SAN_DIR scripts/build.sh \
    -DWENDRIX_GUI=OFF -DWENDRIX_BENCH=OFF -DWENDRIX_SANITIZE=ON -DWENDRIX_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=Debug
  (cd "$SAN_DIR" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --no-tests=error \
     --timeout 300 -j2 </dev/null)
  if [ -x "$SAN_DIR/tests/fuzz/settings_reader_fuzz" ]; then
    # New inputs go to a scratch corpus; a crashing input is kept in the build folder.
    corpus=$(mktemp -d)
    fuzz_log=$SAN_DIR/settings_reader_fuzz.log
    trap 'rm -rf "$corpus"' EXIT
    if "$SAN_DIR/tests/fuzz/settings_reader_fuzz" -max_total_time="${WENDRIX_FUZZ_SECONDS:-30}" \
        -max_len=4096 -print_final_stats=0 -artifact_prefix="$SAN_DIR/fuzz-" \
        "$corpus" tests/fuzz/corpus >"$fuzz_log" 2>&1; then
      grep -E '^Done [0-9]+ runs' "$fuzz_log" || true
      echo "settings reader fuzzing: 1 passed, 0 failed"
    else
      tail -n 40 "$fuzz_log"
      echo "settings reader fuzzing: 0 passed, 1 failed (input kept as $SAN_DIR/fuzz-*)"
      exit 1
    fi
  fi
  scripts/check-package.sh
fi
