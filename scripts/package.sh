#!/usr/bin/env bash
# Builds the Debian binary package into dist/ (tests run during the build
# unless DEB_BUILD_OPTIONS says nocheck) and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
TVS_SETUP_PACKAGE=1 scripts/setup.sh
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}"

# An UNRELEASED top entry of debian/changelog is built as a snapshot: its
# version followed by the commit's time and hash (the build's time outside a
# git checkout), so that no two builds share a version. The entry is
# rewritten for the build only and restored afterwards.
saved="$(mktemp)"
cp debian/changelog "$saved"
trap 'cp "$saved" debian/changelog; rm -f "$saved"' EXIT
if head -n 1 debian/changelog | grep -q ') UNRELEASED;'; then
  if git rev-parse --verify -q HEAD >/dev/null 2>&1; then
    snapshot="$(TZ=UTC git log -1 --format=%cd --date=format-local:%Y%m%d.%H%M%S).$(git rev-parse --short=7 HEAD)"
  else
    snapshot="$(date -u +%Y%m%d.%H%M%S)"
  fi
  sed -i "1s/^\([^ ]*\) (\([^)]*\)) UNRELEASED;/\1 (\2$snapshot) unstable;/" debian/changelog
fi
version="$(dpkg-parsechangelog -S Version)"
dpkg-buildpackage -us -uc -b
mkdir -p dist
arch="$(dpkg --print-architecture)"
for file in ../tavrin-sink-sqlite_"$version"_"$arch".deb ../tavrin-sink-sqlite_"$version"_"$arch".buildinfo \
    ../tavrin-sink-sqlite_"$version"_"$arch".changes ../tavrin-sink-sqlite-dbgsym_"$version"_"$arch".deb; do
  [ -e "$file" ] && mv "$file" dist/
done
deb="dist/tavrin-sink-sqlite_${version}_${arch}.deb"
lintian --fail-on error "$deb"
echo "package: $deb"
