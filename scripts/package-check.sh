#!/usr/bin/env bash
# Checks a built package: its contents, then the host it ships run on the
# shipped example from a throwaway root the package is unpacked into.
set -euo pipefail
deb="$1"
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
echo "package-check: $deb holds the plugin, the host and the example, and they work"
