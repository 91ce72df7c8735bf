#!/usr/bin/env bash
# Runs one host session under valgrind's leak checker and fails on any leak:
# configuration load, a few hundred payloads with failures mixed in, a reload
# by SIGHUP, and termination.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
command -v valgrind >/dev/null || { echo "leak-check: valgrind is not installed"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sed "s|\${DATA_DIR}|$work|" examples/flows.json > "$work/sink.json"
"$build/tavrin-flowgen" --payloads 300 --entries 5 |
  awk '{ print } NR % 10 == 0 { print "not json" } NR % 25 == 0 { print "{\"log_time_start\": 1, \"log_time_end\": 2, \"stats\": [{\"local_ip\": \"a\", \"bytes_in\": \"many\"}]}" }' \
  > "$work/payloads.jsonl"
mkfifo "$work/in"

valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
  "$build/tavrin-sink-host" -d -c "$work/sink.json" -C flows < "$work/in" > "$work/out" 2> "$work/err" &
host=$!
exec 3> "$work/in"

waitfor() {  # waits until the debug log holds $1 at least $2 times
  for _ in $(seq 600); do
    [ "$(grep -c "$1" "$work/err" || true)" -ge "$2" ] && return 0
    sleep 0.1
  done
  echo "leak-check: timed out waiting for '$1'"; cat "$work/err"; exit 1
}

waitfor "Loading configuration" 1
head -n 170 "$work/payloads.jsonl" >&3
waitfor "saved 5 rows" 150
kill -HUP "$host"
waitfor "Loading configuration" 2
tail -n +171 "$work/payloads.jsonl" >&3
exec 3>&-
status=0
wait "$host" || status=$?

cat "$work/out"
echo "saved: $(grep -c 'saved 5 rows' "$work/err"), failed: $(grep -c -E 'JSON parse error|payload not stored' "$work/err")"
grep -E '^==[0-9]+==' "$work/err" || true
# The session's failing payloads make the host exit with 3.
if [ "$status" -ne 3 ]; then
  echo "leak-check: host exited with $status (99: valgrind found leaks or memory errors; 3 expected)"
  exit 1
fi
echo "leak-check: no leaks"
