#!/usr/bin/env bash
# Checks a built package: its contents, then the host it ships run on the
# shipped example from a throwaway root the package is unpacked into. With an
# earlier package as the second argument, also an upgrade from it, installed
# with dpkg into another throwaway root (as root).
set -euo pipefail
deb="$1"
earlier="${2:-}"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
fail() { echo "package-check: $*"; exit 1; }
arch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
contents="$(dpkg-deb -c "$deb")"
for file in ./usr/bin/tavrin-sink-host ./usr/bin/tavrin-flowgen "./usr/lib/$arch/libtavrind.so.15" \
    "./usr/lib/$arch/tavrin/plugins/libtavrin-sink-sqlite.so" ./etc/tavrin/sink-sqlite.json \
    ./usr/share/doc/tavrin-sink-sqlite/examples/flows.json ./usr/share/doc/tavrin-sink-sqlite/copyright \
    ./usr/share/man/man1/tavrin-sink-host.1.gz ./usr/share/man/man5/tavrin-sink-sqlite.5.gz; do
  grep -q " $file\( \|$\)" <<< "$contents" || fail "missing $file"
done
dpkg-deb -x "$deb" "$root"
# The version names this build, and the shipped changelog's top entry is it.
version="$(dpkg-deb -f "$deb" Version)"
top="$(zcat "$root/usr/share/doc/tavrin-sink-sqlite/changelog.gz" | head -n 1)"
[[ "$top" == "tavrin-sink-sqlite ($version) unstable;"* ]] ||
  fail "version $version, but the changelog begins: $top"
# The system's library directory needs no RUNPATH.
for binary in usr/bin/tavrin-sink-host usr/bin/tavrin-flowgen; do
  if readelf -d "$root/$binary" | grep -q -E 'RPATH|RUNPATH'; then fail "$binary carries a RUNPATH"; fi
done
mkdir "$root/data"
export LD_LIBRARY_PATH="$root/usr/lib/$arch"
"$root/usr/bin/tavrin-flowgen" --payloads 10 --entries 5 > "$root/data/payloads.jsonl"
out="$("$root/usr/bin/tavrin-sink-host" -c "$root/usr/share/doc/tavrin-sink-sqlite/examples/flows.json" \
  -C flows -D DATA_DIR="$root/data" "$root/data/payloads.jsonl")"
[ "$out" = $'Found table: flow_stats\n[i] rows added: 50' ] || fail "unexpected output: $out"
[ "$(stat -c %a "$root/data/flows.db")" = 640 ] || fail "a new database is not 0640"
[ "$(stat -c %a "$root/var/lib/tavrin")" = 750 ] || fail "/var/lib/tavrin is not 0750"

# An upgrade: the earlier package's 0755 directory becomes 0750, its
# databases keep their mode and root keeps storing into them.
if [ -n "$earlier" ]; then
  installed="$(mktemp -d)"
  trap 'rm -rf "$root" "$installed"' EXIT
  mkdir -p "$installed/var/lib/dpkg/info" "$installed/var/lib/dpkg/updates"
  touch "$installed/var/lib/dpkg/status"
  install_deb() {
    # The throwaway root has no libraries: their dependencies stay unmet.
    dpkg --root="$installed" --force-depends --force-script-chrootless -i "$1" >/dev/null 2>&1 ||
      fail "dpkg cannot install $1"
  }
  install_deb "$earlier"
  cp "$root/data/flows.db" "$installed/var/lib/tavrin/flows.db"
  chmod 0644 "$installed/var/lib/tavrin/flows.db"
  install_deb "$deb"
  [ "$(stat -c %a "$installed/var/lib/tavrin")" = 750 ] || fail "the upgrade left /var/lib/tavrin $(stat -c %a "$installed/var/lib/tavrin")"
  [ "$(stat -c %a "$installed/var/lib/tavrin/flows.db")" = 644 ] || fail "the upgrade changed a database's mode"
  sed "s|/var/lib/tavrin|$installed/var/lib/tavrin|" "$installed/etc/tavrin/sink-sqlite.json" > "$root/data/installed.json"
  out="$(LD_LIBRARY_PATH="$installed/usr/lib/$arch" "$installed/usr/bin/tavrin-sink-host" \
    -p "$installed/usr/lib/$arch/tavrin/plugins/libtavrin-sink-sqlite.so" \
    -c "$root/data/installed.json" -C flows "$root/data/payloads.jsonl")"
  [ "$out" = $'Found table: flow_stats\n[i] rows added: 50' ] || fail "after the upgrade: $out"
  echo "package-check: an upgrade from $earlier keeps its databases"
fi
echo "package-check: $deb holds the plugin, the host and the example, and they work"
