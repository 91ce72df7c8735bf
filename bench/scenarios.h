// The measured scenarios of the benchmark.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "measure.h"

// Configured columns of the benchmark channel: 5 TEXT and 8 INTEGER, filled
// from 13 of the 14 members of every generated flow record.
extern const char kBenchTable[];

#include <nlohmann/json.hpp>

// Gives the plugin the agent's global configuration it expects, and counts
// the payloads it reports as failed.
void installAgent();

// Channel members added to every benchmark channel (plugin and floor alike),
// such as {"journal_mode": "wal"}.
void setChannelSettings(const nlohmann::json& settings);

struct PayloadSet {
  std::string name;
  size_t payloads = 0;
  size_t entries = 0;
  std::vector<std::string> texts;
  size_t Rows() const { return payloads * entries; }
};

// Generates `payloads` payloads of `entries` flow records, the same for a seed.
PayloadSet makePayloadSet(const std::string& name, size_t payloads, size_t entries, unsigned seed);

// One payload of each shape the memory figures cover, `scale` times smaller
// for a smoke run: flow records, and many tiny entries the writer must not
// hold one value per column for.
std::vector<PayloadSet> makeShapes(size_t scale);

// The real plugin, loaded from `plugin_path` as the agent loads it, storing
// every payload into a fresh database file under `dir`; timed from the first
// payload queued to the worker's return to an empty queue. With `reader`, a
// second connection keeps taking short read transactions on the file meanwhile.
// Instructions count the calling thread and the threads the plugin starts.
Measurement runPlugin(const std::string& plugin_path, const std::string& dir, const PayloadSet& set,
                      bool reader);

// The JSON library alone parsing the same texts in the same mode.
Measurement runParseOnly(const PayloadSet& set);

// The same rows, converted beforehand, inserted with the plugin's SQL and
// settings into a fresh file: what storing costs without parsing. kLean
// makes the single-row calls at their cheapest; kDescribed makes them as the
// writer was first described (statements per payload, bindings cleared,
// text copied); kGrouped inserts up to 32 rows per statement (the last group
// with a statement of its size), the cheapest this SQLite takes them.
// Runs on the calling thread alone; instructions count that thread.
enum class FloorKind { kLean, kDescribed, kGrouped };
Measurement runInsertFloor(const std::string& dir, const PayloadSet& set, FloorKind kind);

// The whole job as a user runs it, on the same payload file: the host
// (tavrin-sink-host in `bin_dir`, loading the plugin beside it) and the plain
// Python script beside it (tavrin-sink-peer.py), each a process of its own,
// each into a fresh file. Wall seconds; the peer's are 0 when python3 is not
// installed.
struct EndToEnd {
  double host_seconds = 0;
  double peer_seconds = 0;
};
EndToEnd runEndToEnd(const std::string& bin_dir, const std::string& dir, const PayloadSet& set);

// Seconds the daily purge of one day takes on a file holding `days` days of
// one-minute intervals with 20 entry rows each.
double runPurge(const std::string& dir, int days);
