#!/usr/bin/env bash
# The installed layout: `cmake --install` into a staging root (DESTDIR), then
# the installed host runs the installed plugin on the installed example.
# Arguments: the build directory, then the configured bin, lib, plugin, etc,
# doc and man directories (absolute).
set -euo pipefail
build="$1" bindir="$2" libdir="$3" plugindir="$4" etcdir="$5" docdir="$6" mandir="$7"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" >/dev/null
fail() { echo "install test: $*"; exit 1; }

for file in "$bindir/tavrin-sink-host" "$bindir/tavrin-flowgen" "$libdir/libtavrind.so.15" \
    "$plugindir/libtavrin-sink-sqlite.so" "$etcdir/tavrin/sink-sqlite.json" \
    "$docdir/examples/flows.json" "$mandir/man1/tavrin-sink-host.1" \
    "$mandir/man5/tavrin-sink-sqlite.5"; do
  [ -e "$root$file" ] || fail "missing $file"
done
for binary in "$bindir/tavrin-sink-host" "$bindir/tavrin-flowgen" "$plugindir/libtavrin-sink-sqlite.so"; do
  if readelf -d "$root$binary" | grep -q -E 'RPATH|RUNPATH'; then
    fail "$binary carries a RUNPATH"
  fi
done

# The stand-in library is found where a system installation puts it; the
# host finds the plugin relative to itself.
export LD_LIBRARY_PATH="$root$libdir"
prefix="$root/run"
mkdir "$prefix"
"$root$bindir/tavrin-sink-host" --version | grep -q -E '^tavrin-sink-host [0-9]+\.[0-9]+\.[0-9]+$' ||
  fail "no version"
mkdir "$prefix/data"
"$root$bindir/tavrin-flowgen" --payloads 5 --entries 4 > "$prefix/data/payloads.jsonl"
out="$("$root$bindir/tavrin-sink-host" -c "$root$docdir/examples/flows.json" \
  -C flows -D DATA_DIR="$prefix/data" "$prefix/data/payloads.jsonl" 2>"$prefix/err")"
[ "$out" = $'Found table: flow_stats\n[i] rows added: 20' ] || fail "unexpected output: $out"
grep -q 'channel flows: 5 payloads, 5 stored, 0 failed, 0 empty, 20 rows' "$prefix/err" ||
  fail "unexpected summary: $(cat "$prefix/err")"
[ "$(sqlite3 "$prefix/data/flows.db" 'SELECT count(*) FROM flow_stats')" = 20 ] || fail "rows"
echo "install test: installed host, plugin and example work"
