#!/usr/bin/env bash
# Runs every fuzz target under libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time each (FUZZ_SECONDS, default 60),
# starting from the committed corpus. Inputs that crash are left in
# build-fuzz/artifacts/; add them to fuzz/corpus/ together with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"

# A missing tool skips the run, except in CI (CI=true), where the run is owed.
unable() {
  if [ "${CI:-}" = true ]; then
    echo "fuzz: failed, $1" >&2
    exit 1
  fi
  echo "fuzz: skipped, $1"
  exit 0
}

if ! command -v clang++ >/dev/null; then
  unable "clang++ is not installed (TVS_SETUP_CI=1 scripts/setup.sh installs it)"
fi
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' > "$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  unable "clang's libFuzzer runtime is missing (package libclang-rt-14-dev)"
fi

CXX=clang++ cmake -S . -B "$build" -G Ninja -DTVS_FUZZ=ON -DTVS_SANITIZE=ON -DTVS_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target payloadFuzz configFuzz | tail -n 1
mkdir -p "$build/artifacts"
for target in payloadFuzz configFuzz; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  case "$target" in
    payloadFuzz) seeds=fuzz/corpus/payload ;;
    configFuzz) seeds=fuzz/corpus/config ;;
  esac
  echo "== $target for ${seconds}s"
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 "$corpus" "$seeds" 2>&1 |
    grep -E '^(#[0-9]+.*(DONE|INITED)|stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY|invariant)' || true
  if ls "$build/artifacts/$target-"* >/dev/null 2>&1; then
    echo "fuzz: $target found crashing inputs in $build/artifacts/"
    exit 1
  fi
done
