#!/usr/bin/env bash
# Installs what is missing, builds, and starts Wendrix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh -DCMAKE_BUILD_TYPE=Release
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
if [ -x "$BUILD_DIR/src/app/wendrix" ]; then
  exec "$BUILD_DIR/src/app/wendrix"
fi
exec "$BUILD_DIR/src/app/wendrix-run" --help
