// Stores aggregator payloads on a channel's connection. Built when the
// channel is loaded: it keeps the column plan for the record's life and,
// while the connection is open, the prepared statements between payloads.
#pragma once

#include <exception>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "aggregatePayload.h"
#include "columnPlan.h"
#include "rollupWriter.h"
#include "sqliteHandles.h"
#include "tvsChannelConfig.h"

class tvsAggregateWriter {
 public:
  // Reads the plan of the first table in `tables`. A malformed column schema
  // is kept and raised by every write, inside its transaction, where a read
  // of the schemas during the write would meet it.
  // Each of `rollups` gets its share of every payload stored.
  tvsAggregateWriter(const nlohmann::json& tables, const std::vector<tvsRollup>& rollups);
  tvsAggregateWriter(const tvsAggregateWriter&) = delete;
  tvsAggregateWriter& operator=(const tvsAggregateWriter&) = delete;

  // What readers look entry members up by.
  const tvsColumnPlan& Plan() const { return *plan; }
  const std::vector<std::unique_ptr<tvsRollupWriter>>& Rollups() const { return rollups; }
  // Drops the statements prepared on the channel's connection, which closes.
  void ConnectionClosing();

  // Stores `payload`: one interval row and one row per entry, in one
  // transaction. Returns the entry rows committed, 0 when the timestamps are
  // missing or zero, -1 after a logged failure and rollback. JSON type errors
  // leave after the rollback.
  int Write(tvsChannelConfig& channel, const tvsAggregatePayload& payload);

 private:
  // The entry statement for `rows` rows, prepared on first use; null when
  // SQLite refused it (sqlite3_errmsg tells why).
  tvsStmtHandle& EntryInsert(sqlite3* db, const nlohmann::json& table, size_t rows);

  std::unique_ptr<tvsColumnPlan> plan;
  std::exception_ptr plan_error;
  // Prepared on first use; a statement whose step failed is dropped, so the
  // next payload prepares it anew.
  tvsStmtHandle interval_insert;
  // The entry statement for each number of rows in use (index: rows), and
  // the rows of a full group on this connection (0 before its first write).
  std::vector<tvsStmtHandle> entry_inserts;
  size_t group_rows = 0;
  std::vector<const tvsValue*> members;  // one entry's value per slot
  std::vector<std::unique_ptr<tvsRollupWriter>> rollups;
};
