#!/usr/bin/env bash
# Builds everything with clang's ThreadSanitizer into build-tsan/ (or
# $BUILD_DIR) and runs the unit and end-to-end tests under it: the worker, the
# agent's queue and the host meet on several threads. Tests that measure
# memory skip themselves there.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-tsan}"
if ! command -v clang++ >/dev/null; then
  # Skipped, except in CI (CI=true), where the run is owed.
  if [ "${CI:-}" = true ]; then
    echo "tsan: failed, clang++ is not installed (TVS_SETUP_CI=1 scripts/setup.sh installs it)" >&2
    exit 1
  fi
  echo "tsan: skipped, clang++ is not installed (TVS_SETUP_CI=1 scripts/setup.sh installs it)"
  exit 0
fi
CXX=clang++ scripts/build.sh "$build" -DTVS_TSAN=ON -DTVS_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# clang 14's runtime cannot map its shadow memory at every address layout a
# kernel may choose; without randomisation it always can.
run=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  run=(setarch "$(uname -m)" -R)
fi
"${run[@]}" ctest --test-dir "$build" --output-on-failure -j2 -L 'unit|e2e'
