#!/usr/bin/env bash
# Fails, naming the files, when a C++ source or header of the tree is not as
# clang-format (with .clang-format) would write it. `clang-format -i FILE`
# mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  echo "format-check: clang-format is not installed (TVS_SETUP_CI=1 scripts/setup.sh installs it)" >&2
  exit 1
fi
unformatted=()
while IFS= read -r file; do
  clang-format "$file" | cmp -s - "$file" || unformatted+=("$file")
done < <(git ls-files '*.cpp' '*.h')
if [ "${#unformatted[@]}" -gt 0 ]; then
  echo "format-check: not formatted as .clang-format says (clang-format -i mends them):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format-check: $(git ls-files '*.cpp' '*.h' | wc -l) files formatted"
