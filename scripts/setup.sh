#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages. Idempotent:
# packages already present are not fetched again. Installing needs root, or
# sudo for an ordinary user; with everything present neither is needed.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libsqlite3-dev nlohmann-json3-dev libsimdjson-dev
          googletest libgtest-dev libgmock-dev sqlite3 faketime strace)
# CI's extras: clang with libFuzzer for fuzzing, valgrind for the leak check,
# clang-format for the formatting check.
if [ "${TVS_SETUP_CI:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev valgrind clang-format)
fi

# Packaging: Debian's build tools and lintian.
if [ "${TVS_SETUP_PACKAGE:-0}" = 1 ] || [ "${TVS_SETUP_CI:-0}" = 1 ]; then
  packages+=(dpkg-dev debhelper fakeroot lintian)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "setup.sh: installing ${missing[*]} needs root: run it as root, or install sudo" >&2
      exit 1
    fi
    sudo="sudo"
  fi
  echo "setup.sh: installing ${missing[*]}${sudo:+ (with sudo)}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
