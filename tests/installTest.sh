#!/usr/bin/env bash
# The installed layout: `cmake --install` into a staging root (DESTDIR), then
# the installed host runs the installed plugin on the installed example; and
# an installation into another prefix runs as it is.
# The installed commented configuration runs as it is, on the data directory
# the installation made.
# Arguments: the build directory, then the configured bin, lib, plugin, etc,
# doc and man directories (absolute), the prefix, ON when the installed host
# carries a RUNPATH relative to itself (TVS_INSTALL_RPATH), and the configured
# localstate directory (absolute).
set -euo pipefail
build="$1" bindir="$2" libdir="$3" plugindir="$4" etcdir="$5" docdir="$6" mandir="$7"
prefix="$8" relocatable="$9" statedir="${10}"
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
for page in man1/tavrin-sink-host.1 man1/tavrin-flowgen.1 man5/tavrin-sink-sqlite.5; do
  grep -q -E '^\.TH .* "tavrin-sink-sqlite [0-9]+\.[0-9]+\.[0-9]+"' "$root$mandir/$page" ||
    fail "$page carries no version: $(head -n 1 "$root$mandir/$page")"
done
# The commented configuration names the data directory the installation made.
[ -d "$root$statedir/lib/tavrin" ] || fail "no data directory $statedir/lib/tavrin"
grep -q -F "\"db_path\": \"$statedir/lib/tavrin\"," "$root$etcdir/tavrin/sink-sqlite.json" ||
  fail "the commented configuration names another db_path than $statedir/lib/tavrin"
runpath() { readelf -d "$1" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\1 \2/p'; }
for binary in "$bindir/tavrin-flowgen" "$plugindir/libtavrin-sink-sqlite.so"; do
  [ -z "$(runpath "$root$binary")" ] || fail "$binary carries $(runpath "$root$binary")"
done
host_runpath="$(runpath "$root$bindir/tavrin-sink-host")"
if [ "$relocatable" = ON ]; then
  # From bin/ to the library directory, whatever the prefix.
  expected="RUNPATH \$ORIGIN/$(realpath -m --relative-to="$bindir" "$libdir")"
  [ "$host_runpath" = "$expected" ] || fail "the host carries '$host_runpath', not '$expected'"
  # Nothing from the environment helps it.
  unset LD_LIBRARY_PATH
else
  [ -z "$host_runpath" ] || fail "the host carries $host_runpath"
  # Where a system installation puts it.
  export LD_LIBRARY_PATH="$root$libdir"
fi

# Stores the example through the host in $1/bin with the example under $2.
store() {
  local host="$1/tavrin-sink-host" flowgen="$1/tavrin-flowgen" data="$3"
  "$host" --version | grep -q -E '^tavrin-sink-host [0-9]+\.[0-9]+\.[0-9]+$' || fail "no version"
  mkdir -p "$data"
  "$flowgen" --payloads 5 --entries 4 > "$data/payloads.jsonl"
  local out status=0
  out="$("$host" -c "$2/examples/flows.json" -C flows -D DATA_DIR="$data" "$data/payloads.jsonl" \
    2>"$data/err")" || status=$?
  [ "$status" = 0 ] || fail "$host exited with $status: $(cat "$data/err")"
  [ "$out" = $'Found table: flow_stats\n[i] rows added: 20' ] || fail "unexpected output: $out"
  grep -q 'channel flows: 5 payloads, 5 stored, 0 failed, 0 empty, 20 rows' "$data/err" ||
    fail "unexpected summary: $(cat "$data/err")"
  [ "$(sqlite3 "$data/flows.db" 'SELECT count(*) FROM flow_stats')" = 20 ] || fail "rows"
}

# Runs the host in $1/bin on the commented configuration installed under $1,
# which stores into the data directory under $1.
store_commented() {
  local host="$1/bin/tavrin-sink-host" out status=0
  "$1/bin/tavrin-flowgen" --payloads 3 --entries 2 > "$root/commented.jsonl"
  out="$("$host" -c "$1/etc/tavrin/sink-sqlite.json" -C flows "$root/commented.jsonl" \
    2>"$root/commented.err")" || status=$?
  [ "$status" = 0 ] || fail "the commented configuration exited with $status: $(cat "$root/commented.err")"
  grep -q 'channel flows: 3 payloads, 3 stored, 0 failed, 0 empty, 6 rows' "$root/commented.err" ||
    fail "unexpected summary: $(cat "$root/commented.err")"
  [ "$(sqlite3 "$1/var/lib/tavrin/flows.db" 'SELECT count(*) FROM flow_stats')" = 6 ] ||
    fail "rows from the commented configuration"
}

# The host finds the plugin relative to itself.
store "$root$bindir" "$root$docdir" "$root/run"
if [ "$relocatable" = ON ]; then
  # Another prefix than the configured one.
  cmake --install "$build" --prefix "$root/elsewhere" >/dev/null
  store "$root/elsewhere/$(realpath -m --relative-to="$prefix" "$bindir")" \
    "$root/elsewhere/$(realpath -m --relative-to="$prefix" "$docdir")" "$root/run-elsewhere"
  # Installed with the default layout, the commented configuration runs too.
  if [ "$bindir" = "$prefix/bin" ] && [ "$etcdir" = "$prefix/etc" ] && [ "$statedir" = "$prefix/var" ]; then
    grep -q -F "\"db_path\": \"$root/elsewhere/var/lib/tavrin\"," \
      "$root/elsewhere/etc/tavrin/sink-sqlite.json" || fail "elsewhere: db_path"
    store_commented "$root/elsewhere"
  fi
fi
echo "install test: installed host, plugin and example work"
