#!/usr/bin/env bash
# The installed layout: `cmake --install` into a temporary prefix, then the
# installed host runs the installed plugin on the installed example.
set -euo pipefail
build="$1"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "install test: $*"; exit 1; }

for file in bin/tavrin-sink-host bin/tavrin-flowgen lib/libtavrind.so.15 \
    lib/tavrin/plugins/libtavrin-sink-sqlite.so etc/tavrin/sink-sqlite.json \
    share/doc/tavrin-sink-sqlite/examples/flows.json share/man/man1/tavrin-sink-host.1 \
    share/man/man5/tavrin-sink-sqlite.5; do
  [ -e "$prefix/$file" ] || fail "missing $file"
done
for binary in bin/tavrin-sink-host bin/tavrin-flowgen lib/tavrin/plugins/libtavrin-sink-sqlite.so; do
  if readelf -d "$prefix/$binary" | grep -q -E 'RPATH|RUNPATH'; then
    fail "$binary carries a RUNPATH"
  fi
done

# The stand-in library is found where a system installation puts it.
export LD_LIBRARY_PATH="$prefix/lib"
"$prefix/bin/tavrin-sink-host" --version | grep -q -E '^tavrin-sink-host [0-9]+\.[0-9]+\.[0-9]+$' ||
  fail "no version"
mkdir "$prefix/data"
"$prefix/bin/tavrin-flowgen" --payloads 5 --entries 4 > "$prefix/data/payloads.jsonl"
out="$("$prefix/bin/tavrin-sink-host" -c "$prefix/share/doc/tavrin-sink-sqlite/examples/flows.json" \
  -C flows -D DATA_DIR="$prefix/data" "$prefix/data/payloads.jsonl" 2>"$prefix/err")"
[ "$out" = $'Found table: flow_stats\n[i] rows added: 20' ] || fail "unexpected output: $out"
grep -q 'channel flows: 5 payloads, 5 stored, 0 failed, 0 empty, 20 rows' "$prefix/err" ||
  fail "unexpected summary: $(cat "$prefix/err")"
[ "$(sqlite3 "$prefix/data/flows.db" 'SELECT count(*) FROM flow_stats')" = 20 ] || fail "rows"
echo "install test: installed host, plugin and example work"
