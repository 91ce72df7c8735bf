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

bool tvsWriteBatch::EndPayload() {
  std::string error;
  if (!Batched() || execSql(db, "RELEASE tvs_payload;", error)) {
    ++staged;
    state = State::kOpen;
    return true;
  }
  Failed("RELEASE", error);
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

tvsWriteBatch::CommitResult tvsWriteBatch::Commit() {
  if (state == State::kIdle) return CommitResult::kCommitted;
  commit_line.clear();
  std::string error;
  const bool done = execSql(db, "COMMIT;", error);
  const size_t payloads = staged;
  staged = 0;
  if (done) {
    state = State::kIdle;
    return CommitResult::kCommitted;
  }
  commit_error = error;
  commit_code = sqlite3_extended_errcode(db);
  if (failure == SQLITE_OK) failure = commit_code;
  // A COMMIT can fail after its commit point (a sync after the journal was
  // reset, a -wal sync after the commit frame was written): once SQLite has
  // ended the transaction, only the file can say which it was.
  if (sqlite3_get_autocommit(db) && payloads > 0 && first_interval != 0) {
    state = State::kIdle;
    return CommitResult::kEnded;
  }
  commit_line = logCommitFailed(channel, payloads, error);
  RollbackTransaction(error);
  return CommitResult::kFailed;
}

std::string logCommitFailed(const std::string& channel, size_t payloads, const std::string& error) {
  std::string first;
  for (size_t i = 0; i < payloads; ++i) {
    std::string line = logChannelError("%s: COMMIT failed: %s\n", channel.c_str(), error.c_str());
    if (i == 0) first = std::move(line);
  }
  tv_dprintf("%s: Transaction aborted\n", channel.c_str());
  return first;
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
  for (size_t i = 0; i < staged; ++i) {
    lost_line = logChannelError("%s: payload not stored: rolled back with its batch: %s\n",
                                channel.c_str(), cause.c_str());
  }
  lost += staged;
  staged = 0;
  state = State::kIdle;
}
