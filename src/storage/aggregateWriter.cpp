// Stores one aggregator payload: an interval row and its entry rows, in one
// transaction.
#include "aggregateWriter.h"

#include <memory>

#include "errorLog.h"
#include "insertSql.h"
#include "sqliteHandles.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"

using json = nlohmann::json;

namespace {

// The transaction of one payload. Rollback() is the writer's rollback step;
// the destructor runs it when neither Commit nor Rollback has, so an error
// raised mid-entry leaves nothing behind.
class tvsTransaction {
 public:
  tvsTransaction(sqlite3* db_, const std::string& channel_) : db(db_), channel(channel_) {}
  tvsTransaction(const tvsTransaction&) = delete;
  tvsTransaction& operator=(const tvsTransaction&) = delete;
  ~tvsTransaction() { Rollback(); }

  bool Begin() {
    std::string error;
    if (!execSql(db, "BEGIN TRANSACTION;", error)) {
      logChannelError("%s: BEGIN TRANSACTION failed: %s\n", channel.c_str(), error.c_str());
      return false;
    }
    open = true;
    return true;
  }

  bool Commit() {
    std::string error;
    if (!execSql(db, "COMMIT;", error)) {
      logChannelError("%s: COMMIT failed: %s\n", channel.c_str(), error.c_str());
      Rollback();
      return false;
    }
    open = false;
    return true;
  }

  void Rollback() noexcept {
    if (!open) return;
    tv_dprintf("%s: Transaction aborted\n", channel.c_str());
    std::string error;
    if (!execSql(db, "ROLLBACK;", error)) {
      logChannelError("%s: ROLLBACK failed: %s\n", channel.c_str(), error.c_str());
    }
    open = false;
  }

 private:
  sqlite3* const db;
  const std::string& channel;
  bool open = false;
};

// A payload parsed as a whole document. Its column plan is read inside the
// transaction, where a malformed column schema is met.
class DocumentSource {
 public:
  DocumentSource(const json& payload_, const json& table_) : payload(payload_), table(table_) {}

  const json* Start() const { return Member("log_time_start"); }
  const json* End() const { return Member("log_time_end"); }
  const tvsColumnPlan& Plan() {
    if (!plan) plan = std::make_unique<tvsColumnPlan>(table);
    return *plan;
  }
  // Calls `each` with a value lookup per entry until it returns false.
  template <typename Each>
  void ForEachEntry(Each each) const {
    for (const json& entry : payload.at("stats")) {
      const bool more = each([&](size_t slot) -> const json* {
        if (!entry.is_object()) return nullptr;
        const auto value = entry.find(plan->SlotName(slot));
        return value == entry.end() ? nullptr : &*value;
      });
      if (!more) return;
    }
  }

 private:
  const json* Member(const char* key) const {
    const auto it = payload.find(key);
    return it == payload.end() ? nullptr : &*it;
  }

  const json& payload;
  const json& table;
  std::unique_ptr<tvsColumnPlan> plan;
};

// A payload read by readAggregatePayload with a plan read beforehand.
class ReadSource {
 public:
  ReadSource(const tvsAggregatePayload& payload_, const tvsColumnPlan& plan_)
      : payload(payload_), plan(plan_) {}

  const json* Start() const { return payload.has_start ? &payload.time_start : nullptr; }
  const json* End() const { return payload.has_end ? &payload.time_end : nullptr; }
  const tvsColumnPlan& Plan() const { return plan; }
  template <typename Each>
  void ForEachEntry(Each each) const {
    const size_t slots = plan.Slots();
    for (size_t entry = 0; entry < payload.entries; ++entry) {
      const json* row = payload.values.data() + entry * slots;
      if (!each([row](size_t slot) -> const json* { return row + slot; })) return;
    }
  }

 private:
  const tvsAggregatePayload& payload;
  const tvsColumnPlan& plan;
};

// The writer itself, the same for both sources.
template <typename Source>
int writeAggregate(tvsChannelConfig& channel, Source& source) {
  const char* name = channel.name.c_str();
  sqlite3* db = channel.db.get();
  // The start is converted first, so a start of the wrong type raises even
  // when the end is missing.
  const json* start_member = source.Start();
  const int64_t time_start = start_member == nullptr ? 0 : toInt64(*start_member, true);
  const json* end_member = source.End();
  if (end_member == nullptr) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name);
    return 0;
  }
  const int64_t time_end = toInt64(*end_member, true);
  if (time_start == 0 || time_end == 0) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name);
    return 0;
  }
  if (!db) {
    logChannelError("%s: Database handle missing - aborting\n", name);
    return -1;
  }

  tvsTransaction transaction(db, channel.name);
  if (!transaction.Begin()) return -1;

  // Declared after the transaction, so on every exit it is finalised before
  // the transaction's guard rolls back.
  tvsStmtHandle statement = prepare(
      db, "INSERT INTO " + channel.name + "_intervals (time_start, time_end) VALUES (?, ?)");
  if (!statement) {
    logChannelError("%s: SQLite prepare failed: %s\n", name, sqlite3_errmsg(db));
    transaction.Rollback();
    return -1;
  }
  sqlite3_bind_int64(statement.get(), 1, time_start);
  sqlite3_bind_int64(statement.get(), 2, time_end);
  if (sqlite3_step(statement.get()) != SQLITE_DONE) {
    logChannelError("%s: SQLite interval insert failed: %s\n", name, sqlite3_errmsg(db));
    statement.reset();
    transaction.Rollback();
    return -1;
  }
  statement.reset();
  const int64_t interval_id = sqlite3_last_insert_rowid(db);

  statement = prepare(db, generateInsertSQL(channel.tables.at(0)));
  if (!statement) {
    logChannelError("%s: SQLite prepare failed: %s\n", name, sqlite3_errmsg(db));
    transaction.Rollback();
    return -1;
  }
  const tvsColumnPlan& plan = source.Plan();

  int rows = 0;
  bool failed = false;
  source.ForEachEntry([&](const auto& value_of) {
    sqlite3_reset(statement.get());
    sqlite3_clear_bindings(statement.get());
    plan.Bind(statement.get(), interval_id, value_of);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
      logChannelError("%s: SQLite stats insert failed: %s\n", name, sqlite3_errmsg(db));
      failed = true;
      return false;
    }
    ++rows;
    return true;
  });
  statement.reset();
  if (failed) {
    transaction.Rollback();
    return -1;
  }
  if (!transaction.Commit()) return -1;
  return rows;
}

}  // namespace

int tvsChannelConfig::ProcessAggregateData(const json& payload) {
  if (!payload.is_object()) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name.c_str());
    return 0;
  }
  DocumentSource source(payload, tables.is_array() && !tables.empty() ? tables[0] : tables);
  return writeAggregate(*this, source);
}

int writeAggregatePayload(tvsChannelConfig& channel, const tvsAggregatePayload& payload,
                          const tvsColumnPlan& plan) {
  ReadSource source(payload, plan);
  return writeAggregate(channel, source);
}
