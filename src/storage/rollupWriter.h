// One rollup's share of a payload: the entries' sums per group, gathered
// while the entries are written and added to the rollup's table at the end
// of the payload, in its transaction. A payload and its sums are stored
// together or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "channel/rollupSpec.h"
#include "columnPlan.h"
#include "sqliteHandles.h"

class tvsRollupWriter {
 public:
  // The rollup's columns are found in `plan`, which outlives the writer;
  // the definition was checked against the same table.
  tvsRollupWriter(const tvsRollup& spec, const tvsColumnPlan& plan);
  tvsRollupWriter(const tvsRollupWriter&) = delete;
  tvsRollupWriter& operator=(const tvsRollupWriter&) = delete;

  const tvsRollup& Spec() const { return spec; }
  // A new payload, whose interval started at `time_start`.
  void Begin(int64_t time_start);
  // One entry written: its values are `member`, by slot.
  void Add(const tvsValue* const* member);
  // Adds the payload's sums to the table, and records `interval_id` (the
  // payload's) as the last one summed, in the marks table of `channel`.
  // Null when done; else the statement whose prepare (it is then empty) or
  // step failed: the connection's error tells why, and the caller drops it.
  tvsStmtHandle* Flush(sqlite3* db, const std::string& channel, int64_t interval_id);
  void ConnectionClosing() {
    upsert.reset();
    mark.reset();
  }

 private:
  struct Group {
    const std::string* key;  // its values, encoded; bound from there
    int64_t count;
  };

  const tvsRollup spec;
  const tvsColumnPlan& plan;
  const std::string mark_key;  // the rollup's row in the marks table
  std::vector<size_t> group_columns;
  std::vector<size_t> sum_columns;
  int64_t bucket = 0;
  // The payload's groups, found by their values' encoding, in the order
  // they first appeared; their sums, sum_columns.size() per group.
  std::unordered_map<std::string, size_t> index;
  std::vector<Group> groups;
  std::vector<tvsRollupSum> sums;  // value-initialized: empty sums
  std::string key;                 // reused for every entry
  tvsStmtHandle upsert;
  tvsStmtHandle mark;
};
