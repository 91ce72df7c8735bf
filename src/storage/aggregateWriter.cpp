// Stores one aggregator payload: an interval row and its entry rows, in one
// transaction.
#include "entryBinder.h"
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
      tv_dprintf("%s: BEGIN TRANSACTION failed: %s\n", channel.c_str(), error.c_str());
      return false;
    }
    open = true;
    return true;
  }

  bool Commit() {
    std::string error;
    if (!execSql(db, "COMMIT;", error)) {
      tv_dprintf("%s: COMMIT failed: %s\n", channel.c_str(), error.c_str());
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
      tv_dprintf("%s: ROLLBACK failed: %s\n", channel.c_str(), error.c_str());
    }
    open = false;
  }

 private:
  sqlite3* const db;
  const std::string& channel;
  bool open = false;
};

tvsStmtHandle prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
  return tvsStmtHandle(raw);
}

}  // namespace

int tvsChannelConfig::ProcessAggregateData(const json& payload) {
  const char* channel = name.c_str();
  if (!payload.is_object()) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", channel);
    return 0;
  }
  // The start is converted first, so a start of the wrong type raises even
  // when the end is missing.
  const auto start_member = payload.find("log_time_start");
  const int64_t time_start = start_member == payload.end() ? 0 : toInt64(*start_member, true);
  const auto end_member = payload.find("log_time_end");
  if (end_member == payload.end()) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", channel);
    return 0;
  }
  const int64_t time_end = toInt64(*end_member, true);
  if (time_start == 0 || time_end == 0) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", channel);
    return 0;
  }
  if (!db) {
    tv_dprintf("%s: Database handle missing - aborting\n", channel);
    return -1;
  }

  tvsTransaction transaction(db.get(), name);
  if (!transaction.Begin()) return -1;

  // Declared after the transaction, so on every exit it is finalised before
  // the transaction's guard rolls back.
  tvsStmtHandle statement = prepare(db.get(), "INSERT INTO " + name +
                                                  "_intervals (time_start, time_end) VALUES (?, ?)");
  if (!statement) {
    tv_dprintf("%s: SQLite prepare failed: %s\n", channel, sqlite3_errmsg(db.get()));
    transaction.Rollback();
    return -1;
  }
  sqlite3_bind_int64(statement.get(), 1, time_start);
  sqlite3_bind_int64(statement.get(), 2, time_end);
  if (sqlite3_step(statement.get()) != SQLITE_DONE) {
    tv_dprintf("%s: SQLite interval insert failed: %s\n", channel, sqlite3_errmsg(db.get()));
    statement.reset();
    transaction.Rollback();
    return -1;
  }
  statement.reset();
  const int64_t interval_id = sqlite3_last_insert_rowid(db.get());

  const json& table = tables.at(0);
  statement = prepare(db.get(), generateInsertSQL(table));
  if (!statement) {
    tv_dprintf("%s: SQLite prepare failed: %s\n", channel, sqlite3_errmsg(db.get()));
    transaction.Rollback();
    return -1;
  }
  tvsEntryBinder binder(table);

  int rows = 0;
  for (const json& entry : payload.at("stats")) {
    sqlite3_reset(statement.get());
    sqlite3_clear_bindings(statement.get());
    binder.Bind(statement.get(), interval_id, entry);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
      tv_dprintf("%s: SQLite stats insert failed: %s\n", channel, sqlite3_errmsg(db.get()));
      statement.reset();
      transaction.Rollback();
      return -1;
    }
    ++rows;
  }
  statement.reset();
  if (!transaction.Commit()) return -1;
  return rows;
}
