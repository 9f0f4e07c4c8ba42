#!/usr/bin/env bash
# Installs what is missing, builds, and starts Wendrix. The build is scripts/test.sh's, tests
# included, so that either one right after the other rebuilds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
if [ -x "$BUILD_DIR/src/app/wendrix" ]; then
  exec "$BUILD_DIR/src/app/wendrix"
fi
exec "$BUILD_DIR/src/app/wendrix-run" --help
