#!/usr/bin/env bash
# Configures and builds Wendrix into a build folder (default: build/). scripts/run.sh and
# scripts/test.sh both build through here with the same options, so that one run right after the
# other rebuilds nothing.
#   WENDRIX_BUILD_DIR  build folder
#   WENDRIX_WERROR=ON  warnings are errors (CI). Only given to CMake when set: the build folder
#                      keeps the last value given, so leaving it unset never forces a rebuild.
#                      WENDRIX_WERROR=OFF turns it off again.
# Extra arguments go to CMake's configure step, after the defaults (the build type is
# RelWithDebInfo unless they say otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ -n "${WENDRIX_WERROR:-}" ]; then options+=(-DWENDRIX_WERROR="$WENDRIX_WERROR"); fi
cmake -S . -B "$BUILD_DIR" "${options[@]}" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
