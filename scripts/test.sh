#!/usr/bin/env bash
# Builds into build/ (or $BUILD_DIR) and runs every test, then says why each
# skipped test was skipped (CTest shows only "***Skipped"). Extra arguments go
# to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
scripts/build.sh "$build" "$@"
status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=$?
scripts/skip-reasons.sh "$build/Testing/Temporary/LastTest.log"
exit "$status"
