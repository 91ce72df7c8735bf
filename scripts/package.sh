#!/usr/bin/env bash
# Builds the Debian binary package into dist/ (tests run during the build
# unless DEB_BUILD_OPTIONS says nocheck) and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
TVS_SETUP_PACKAGE=1 scripts/setup.sh
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}"
dpkg-buildpackage -us -uc -b
mkdir -p dist
version="$(dpkg-parsechangelog -S Version)"
arch="$(dpkg --print-architecture)"
for file in ../tavrin-sink-sqlite_"$version"_"$arch".deb ../tavrin-sink-sqlite_"$version"_"$arch".buildinfo \
    ../tavrin-sink-sqlite_"$version"_"$arch".changes ../tavrin-sink-sqlite-dbgsym_"$version"_"$arch".deb; do
  [ -e "$file" ] && mv "$file" dist/
done
deb="dist/tavrin-sink-sqlite_${version}_${arch}.deb"
lintian --fail-on error "$deb"
echo "package: $deb"
