#!/usr/bin/env bash
# Configures and builds Wendrix into a build folder (default: build/).
#   WENDRIX_BUILD_DIR  build folder
#   WENDRIX_WERROR=ON  warnings are errors (CI)
# Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DWENDRIX_WERROR="${WENDRIX_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
