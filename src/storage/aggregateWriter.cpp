// Stores one aggregator payload: an interval row and its entry rows, in one
// transaction.
#include "aggregateWriter.h"

#include <algorithm>

#include "channel/insertSql.h"
#include "channelState.h"
#include "errorLog.h"
#include "payloadReader.h"
#include "tvLog.h"
#include "writeBatch.h"

using json = nlohmann::json;

namespace {

// Undoes the payload being written on every way out that did not end it,
// an error raised mid-entry included, so nothing of it is left behind.
class tvsPayloadScope {
 public:
  explicit tvsPayloadScope(tvsWriteBatch& batch_) : batch(batch_) {}
  tvsPayloadScope(const tvsPayloadScope&) = delete;
  tvsPayloadScope& operator=(const tvsPayloadScope&) = delete;
  ~tvsPayloadScope() {
    if (!ended) batch.AbortPayload("payload not stored");
  }
  bool Begin() {
    ended = !batch.BeginPayload();
    return !ended;
  }
  bool End() {
    ended = true;
    return batch.EndPayload();
  }
  void Abort(const std::string& cause, int code) {
    ended = true;
    batch.AbortPayload(cause, code);
  }

 private:
  tvsWriteBatch& batch;
  bool ended = true;
};

// Keeps a statement reset, with no binding into a payload that is gone, on
// every way out of a write.
struct tvsResetStatement {
  void operator()(tvsStmtHandle* statement) const {
    if (!*statement) return;
    sqlite3_reset(statement->get());
    sqlite3_clear_bindings(statement->get());
  }
};
using tvsStatementRelease = std::unique_ptr<tvsStmtHandle, tvsResetStatement>;

}  // namespace

tvsAggregateWriter::tvsAggregateWriter(const json& tables,
                                       const std::vector<tvsRollup>& rollup_specs) {
  try {
    plan =
        std::make_unique<tvsColumnPlan>(tables.is_array() && !tables.empty() ? tables[0] : tables);
  } catch (const std::exception&) {
    plan_error = std::current_exception();
    plan = std::make_unique<tvsColumnPlan>();
  }
  members.assign(plan->Slots(), nullptr);
  for (const tvsRollup& spec : rollup_specs) {
    rollups.push_back(std::make_unique<tvsRollupWriter>(spec, *plan));
  }
}

void tvsAggregateWriter::ConnectionClosing() {
  interval_insert.reset();
  entry_insert.reset();
  for (const auto& rollup : rollups) rollup->Statement().reset();
}

int tvsAggregateWriter::Write(tvsChannelConfig& channel, const tvsAggregatePayload& payload) {
  const char* name = channel.name.c_str();
  sqlite3* db = channel.db.get();
  // The start is converted first, so a start of the wrong type raises even
  // when the end is missing.
  const int64_t time_start = payload.start.present ? toInt64(payload.start.value, true) : 0;
  if (!payload.end.present) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name);
    return 0;
  }
  const int64_t time_end = toInt64(payload.end.value, true);
  if (time_start == 0 || time_end == 0) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name);
    return 0;
  }
  if (!db) {
    logChannelError("%s: Database handle missing - aborting\n", name);
    return -1;
  }

  tvsPayloadScope scope(*channel.state->batch);
  if (!scope.Begin()) return -1;
  // Every failed step ends here: its line with SQLite's message (read before
  // anything else touches the connection), the statement dropped, the
  // payload rolled back.
  const auto fail = [&](const char* format, tvsStmtHandle* statement) {
    const std::string cause = sqlite3_errmsg(db);
    const int code = sqlite3_extended_errcode(db);
    logChannelError(format, name, cause.c_str());
    if (statement) statement->reset();
    scope.Abort(cause, code);
    return -1;
  };

  if (!interval_insert) {
    interval_insert = prepare(
        db, "INSERT INTO " + channel.IntervalsTable() + " (time_start, time_end) VALUES (?, ?)");
    if (!interval_insert) return fail("%s: SQLite prepare failed: %s\n", nullptr);
  }
  {
    const tvsStatementRelease release(&interval_insert);
    sqlite3_bind_int64(interval_insert.get(), 1, time_start);
    sqlite3_bind_int64(interval_insert.get(), 2, time_end);
    if (sqlite3_step(interval_insert.get()) != SQLITE_DONE) {
      return fail("%s: SQLite interval insert failed: %s\n", &interval_insert);
    }
  }
  const int64_t interval_id = sqlite3_last_insert_rowid(db);
  channel.state->batch->NoteInterval(interval_id);

  if (!entry_insert) {
    entry_insert = prepare(db, generateInsertSQL(channel.tables.at(0)));
    if (!entry_insert) return fail("%s: SQLite prepare failed: %s\n", nullptr);
  }
  if (plan_error) std::rethrow_exception(plan_error);

  int rows = 0;
  {
    const tvsStatementRelease release(&entry_insert);
    sqlite3_stmt* statement = entry_insert.get();
    const std::vector<tvsValue>& values = payload.values;
    tvsMemberRuns run(values);
    // Nothing of an earlier payload, which may have ended by an error.
    std::fill(members.begin(), members.end(), nullptr);
    for (const auto& rollup : rollups) rollup->Begin(time_start);
    for (uint64_t entry = 0; entry < payload.entries; ++entry) {
      // An entry without members binds every slot empty.
      const bool has_members = run.Valid() && run.Entry() == entry;
      if (has_members) {
        for (size_t i = run.Begin(); i < run.End(); ++i) members[values[i].slot] = &values[i];
      }
      // Every parameter is bound for every row, so no clearing in between.
      sqlite3_reset(statement);
      plan->Bind(statement, interval_id, members.data());
      if (sqlite3_step(statement) != SQLITE_DONE) {
        return fail("%s: SQLite stats insert failed: %s\n", &entry_insert);
      }
      ++rows;
      for (const auto& rollup : rollups) rollup->Add(members.data());
      if (has_members) {
        for (size_t i = run.Begin(); i < run.End(); ++i) members[values[i].slot] = nullptr;
        run.Next();
      }
    }
  }
  for (const auto& rollup : rollups) {
    if (!rollup->Flush(db)) {
      return fail(rollup->Statement() ? "%s: SQLite rollup insert failed: %s\n"
                                      : "%s: SQLite prepare failed: %s\n",
                  &rollup->Statement());
    }
  }
  return scope.End() ? rows : -1;
}

int tvsChannelConfig::ProcessAggregateData(const json& payload) {
  // A record whose database was never set up fails on the missing handle,
  // once the timestamps are checked.
  tvsAggregatePayload read;
  readAggregateDocument(payload, state->writer->Plan(), read);
  const int rows = state->writer->Write(*this, read);
  // Written, not yet committed: the commit starts where every commit does.
  if (rows >= 0 && state->batch && state->batch->Open() && !CommitOpen()) return -1;
  return rows;
}
