#!/usr/bin/env bash
# Builds into build/ (or $BUILD_DIR) and runs every test. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
scripts/build.sh "$build" "$@"
ctest --test-dir "$build" --output-on-failure -j2
