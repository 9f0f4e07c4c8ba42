#!/usr/bin/env bash
# Installs what building and running Wendrix need, builds, and starts it. The build folder is
# scripts/test.sh's: the tests are built there once test.sh has installed what they need, and
# either one right after the other rebuilds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
scripts/build.sh
BUILD_DIR=${WENDRIX_BUILD_DIR:-build}
if [ -x "$BUILD_DIR/src/app/wendrix" ]; then
  exec "$BUILD_DIR/src/app/wendrix"
fi
exec "$BUILD_DIR/src/app/wendrix-run" --help
