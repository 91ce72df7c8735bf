#include "writeBatch.h"

#include "errorLog.h"
#include "sqliteHandles.h"
#include "tvLog.h"

tvsWriteBatch::tvsWriteBatch(sqlite3* db_, const std::string& channel_, int32_t capacity_)
    : db(db_), channel(channel_), capacity(capacity_ < 1 ? 1 : capacity_) {}

tvsWriteBatch::~tvsWriteBatch() {
  if (state != State::kIdle && !sqlite3_get_autocommit(db)) {
    std::string error;
    execSql(db, "ROLLBACK;", error);
  }
}

bool tvsWriteBatch::BeginPayload() {
  std::string error;
  if (state == State::kIdle) {
    if (!execSql(db, "BEGIN TRANSACTION;", error)) {
      Failed("BEGIN TRANSACTION", error);
      return false;
    }
    first_interval = 0;
    state = Batched() ? State::kOpen : State::kWriting;
  }
  if (!Batched()) return true;
  if (!execSql(db, "SAVEPOINT tvs_payload;", error)) {
    Failed("SAVEPOINT", error);
    TransactionEnded(error);
    return false;
  }
  state = State::kWriting;
  return true;
}

bool tvsWriteBatch::EndPayload(int rows) {
  std::string error;
  if (!Batched()) {
    if (execSql(db, "COMMIT;", error)) {
      state = State::kIdle;
      return true;
    }
    const int code = sqlite3_extended_errcode(db);
    if (CommittedDespite(error)) {
      state = State::kIdle;
      return true;
    }
    Failed("COMMIT", error, code);
  } else {
    if (execSql(db, "RELEASE tvs_payload;", error)) {
      staged.push_back(rows);
      state = State::kOpen;
      return true;
    }
    Failed("RELEASE", error);
  }
  AbortPayload(error);
  return false;
}

void tvsWriteBatch::AbortPayload(const std::string& cause, int code) noexcept {
  if (failure == SQLITE_OK) failure = code;
  if (state != State::kWriting) return;
  tv_dprintf("%s: Transaction aborted\n", channel.c_str());
  if (!Batched()) {
    RollbackTransaction(cause);
    return;
  }
  if (TransactionEnded(cause)) return;
  std::string error;
  // A savepoint rolled back stays open until released.
  if (execSql(db, "ROLLBACK TO tvs_payload; RELEASE tvs_payload;", error)) {
    state = State::kOpen;
    return;
  }
  Failed("ROLLBACK", error);
  // Rows of the payload may still be in the transaction; none may be
  // committed, so the whole transaction goes.
  RollbackTransaction(cause);
}

bool tvsWriteBatch::Commit() {
  if (state == State::kIdle) return true;
  std::string error;
  const bool done = execSql(db, "COMMIT;", error);
  const int code = sqlite3_extended_errcode(db);
  if (done || (!staged.empty() && CommittedDespite(error))) {
    staged.clear();
    state = State::kIdle;
    return true;
  }
  // Nothing of the batch is in the file: every payload of it failed.
  for (size_t i = 0; i < staged.size(); ++i) Failed("COMMIT", error, code);
  staged.clear();
  tv_dprintf("%s: Transaction aborted\n", channel.c_str());
  RollbackTransaction(error);
  return false;
}

void tvsWriteBatch::Failed(const char* step, const std::string& error, int code) {
  // The first failure is the cause; a ROLLBACK failing after it is not.
  if (failure == SQLITE_OK) failure = code == SQLITE_OK ? sqlite3_extended_errcode(db) : code;
  logChannelError("%s: %s failed: %s\n", channel.c_str(), step, error.c_str());
}

bool tvsWriteBatch::TransactionEnded(const std::string& cause) {
  if (!sqlite3_get_autocommit(db)) return false;
  LoseStaged(cause);
  return true;
}

void tvsWriteBatch::RollbackTransaction(const std::string& cause) noexcept {
  if (TransactionEnded(cause)) return;
  std::string error;
  if (!execSql(db, "ROLLBACK;", error)) Failed("ROLLBACK", error);
  // Whatever the ROLLBACK said, the staged payloads are not stored.
  LoseStaged(cause);
}

void tvsWriteBatch::LoseStaged(const std::string& cause) noexcept {
  for (size_t i = 0; i < staged.size(); ++i) {
    logChannelError("%s: payload not stored: rolled back with its batch: %s\n", channel.c_str(),
                    cause.c_str());
  }
  lost += staged.size();
  staged.clear();
  state = State::kIdle;
}

bool tvsWriteBatch::CommittedDespite(const std::string& error) {
  // A COMMIT can fail after its commit point: with a truncated or persisted
  // journal, a sync after the journal was reset fails the COMMIT although the
  // transaction is in the file. Once SQLite has ended the transaction, the
  // file says which it was: a hot journal is rolled back by this read.
  if (!sqlite3_get_autocommit(db) || first_interval == 0) return false;
  std::string ignored;
  const std::string found = pragmaValue(db,
                                        "SELECT count(*) FROM " + tvsIntervalsTable(channel) +
                                            " WHERE id = " + std::to_string(first_interval) + ";",
                                        ignored);
  if (found != "1") return false;
  tv_dprintf("%s: COMMIT reported \"%s\", but the transaction is in the file\n", channel.c_str(),
             error.c_str());
  return true;
}
