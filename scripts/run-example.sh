#!/usr/bin/env bash
# The main job: generates flow payloads, stores them through the host and the
# plugin with the example configuration, and reads a summary back.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
data="$build/example"
payloads="${PAYLOADS:-3000}"

mkdir -p "$data"
rm -f "$data/flows.db"
"$build/tavrin-flowgen" --payloads "$payloads" --entries 20 > "$data/payloads.jsonl"
echo "== Storing $payloads payloads of 20 flow records each"
"$build/tavrin-sink-host" -c examples/flows.json -C flows -D DATA_DIR="$data" "$data/payloads.jsonl"

db="$data/flows.db"
echo
echo "== Intervals and flow rows"
sqlite3 -header -column "$db" \
  "SELECT (SELECT count(*) FROM flows_intervals) AS intervals,
          (SELECT count(*) FROM flow_stats) AS flow_rows,
          datetime(min(time_start), 'unixepoch') AS first_interval,
          datetime(max(time_end), 'unixepoch') AS last_interval
     FROM flows_intervals;"
echo
echo "== Top talkers by bytes"
sqlite3 -header -column "$db" \
  "SELECT local_ip, sum(bytes_in + bytes_out) AS bytes, sum(packets_in + packets_out) AS packets
     FROM flow_stats GROUP BY local_ip ORDER BY bytes DESC LIMIT 5;"
echo
echo "== Applications by bytes"
sqlite3 -header -column "$db" \
  "SELECT app, protocol, count(*) AS flows, sum(bytes_in + bytes_out) AS bytes
     FROM flow_stats GROUP BY app, protocol ORDER BY bytes DESC LIMIT 5;"
echo
echo "== Hourly sums (the rollup, kept after the flow rows): busiest host-hours"
sqlite3 -header -column "$db" \
  "SELECT datetime(bucket, 'unixepoch') AS hour, local_ip, sum(bytes_in + bytes_out) AS bytes,
          sum(flows) AS flows
     FROM flow_hourly GROUP BY bucket, local_ip ORDER BY bytes DESC LIMIT 5;"
echo
echo "The database is $(realpath "$db"); open it with: sqlite3 $db"
