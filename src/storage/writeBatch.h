// The transaction a channel's payloads are written in: one payload per
// transaction, or with commit_batch N up to N payloads sharing one, each in a
// savepoint of its own. All transaction SQL of the storage code is here; the
// channel's ledger decides when to commit (Commit is called from one place)
// and what became of each payload.
//
// States:
//   Idle     no transaction.
//            BeginPayload: BEGIN TRANSACTION (batched: then SAVEPOINT) -> Writing.
//   Writing  one payload's rows are being written: in the transaction itself
//            (single) or in its savepoint (batched).
//            EndPayload: the payload is staged (batched: RELEASE) -> Open.
//            AbortPayload, or a failed RELEASE: "Transaction aborted", the
//            payload undone (ROLLBACK; batched: ROLLBACK TO and RELEASE)
//            -> Idle (single) / Open (batched).
//   Open     a transaction holding the staged payloads, whose rows are
//            written but not committed.
//            BeginPayload (batched): SAVEPOINT -> Writing.
//            Commit: COMMIT -> Idle. A COMMIT that fails with the
//            transaction still open is rolled back: every staged payload
//            failed. One that SQLite ended by itself may have passed its
//            commit point: the owner asks the file.
// After every failed step SQLite is asked whether the transaction still
// exists: on an I/O error, a full disk or out of memory it may have rolled
// the whole transaction back by itself. Then nothing is rolled back twice,
// the state is Idle, and the payloads staged before are gone with it: they
// are logged and counted in TakeLost() for the owner to settle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sqlite3.h>

// The lines of a COMMIT that failed for `payloads` staged payloads: one
// "COMMIT failed" per payload, then "Transaction aborted". Returns the first.
std::string logCommitFailed(const std::string& channel, size_t payloads, const std::string& error);

class tvsWriteBatch {
 public:
  // Payloads share a transaction when `capacity` > 1; 1 writes each alone.
  tvsWriteBatch(sqlite3* db, const std::string& channel, int32_t capacity);
  tvsWriteBatch(const tvsWriteBatch&) = delete;
  tvsWriteBatch& operator=(const tvsWriteBatch&) = delete;
  // Rolls back whatever is still open: the owner commits a batch before it
  // closes the connection.
  ~tvsWriteBatch();

  bool Batched() const { return capacity > 1; }
  // A transaction is open: payloads are staged or being written.
  bool Open() const { return state != State::kIdle; }
  size_t Staged() const { return staged; }
  bool Full() const { return staged >= static_cast<size_t>(capacity); }
  // The first interval row the open or last committed transaction wrote; 0
  // for none. Rows from it on are the newest commit's.
  int64_t FirstInterval() const { return first_interval; }

  // Opens one payload's scope. False when BEGIN or SAVEPOINT failed (logged).
  bool BeginPayload();
  // Records an interval row the payload wrote.
  void NoteInterval(int64_t id) {
    if (first_interval == 0) first_interval = id;
  }
  // The payload's rows are written: stages them (batched: releases the
  // savepoint first). False when that failed: logged and the payload undone.
  bool EndPayload();
  // The rollback step for the payload being written; `cause` is the failure
  // just logged, repeated in the lines of payloads lost with the transaction,
  // and `code` SQLite's extended result code of it (SQLITE_OK for a failure
  // that is not SQLite's).
  void AbortPayload(const std::string& cause, int code = SQLITE_OK) noexcept;

  enum class CommitResult {
    kCommitted,  // in the file (or nothing was open)
    kFailed,     // rolled back: logged once per staged payload
    kEnded,      // failed, and SQLite ended the transaction itself: nothing
                 // logged yet; the file tells (CommitError() says why)
  };
  // Commits the open transaction; the state is Idle afterwards.
  CommitResult Commit();
  // The failed COMMIT's message and SQLite's extended result code.
  const std::string& CommitError() const { return commit_error; }
  // kFailed: the first "COMMIT failed" line logged, without its newline.
  const std::string& CommitLine() const { return commit_line; }
  int CommitCode() const { return commit_code; }
  // Staged payloads lost since the last call with a transaction that SQLite
  // ended; each was logged, with `LostLine()` (without its newline).
  size_t TakeLost() {
    const size_t count = lost;
    lost = 0;
    return count;
  }
  const std::string& LostLine() const { return lost_line; }
  // SQLite's extended result code of the first failure since the last call;
  // SQLITE_OK when nothing failed.
  int TakeFailure() {
    const int code = failure;
    failure = SQLITE_OK;
    return code;
  }

 private:
  enum class State { kIdle, kOpen, kWriting };

  // Logs "<channel>: <step> failed: <error>" and keeps the failure's code:
  // `code`, or the connection's when that is SQLITE_OK.
  void Failed(const char* step, const std::string& error, int code = SQLITE_OK);
  // After a failed step: true when SQLite has ended the transaction; the
  // staged payloads are then logged as lost and the state is Idle.
  bool TransactionEnded(const std::string& cause);
  // The rollback of the whole transaction, unless SQLite has done it.
  void RollbackTransaction(const std::string& cause) noexcept;
  // The transaction is gone: its staged payloads are logged as lost.
  void LoseStaged(const std::string& cause) noexcept;

  sqlite3* const db;
  const std::string& channel;
  const int32_t capacity;
  State state = State::kIdle;
  size_t staged = 0;  // payloads staged in the open transaction; the ledger knows which
  size_t lost = 0;
  std::string lost_line;
  int failure = SQLITE_OK;
  std::string commit_error;
  std::string commit_line;
  int commit_code = SQLITE_OK;
  int64_t first_interval = 0;
};
