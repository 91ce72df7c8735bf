// What became of one payload on one channel: decided where it happened, and
// the one source of its "saved" or failure line's count, the status counters,
// the channel's last error and the host's per-line report.
#pragma once

#include <string>
#include <utility>

#include <sqlite3.h>

// SQLite's result codes of the failures worth another try.
bool isTransientFailure(int code);

struct tvsOutcome {
  // Entry rows stored (above 0), nothing to store (0), or failed (-1).
  int rows = 0;
  // SQLite's extended result code of the failure, or the one that stands for
  // it (SQLITE_NOMEM, SQLITE_CANTOPEN, SQLITE_ERROR); SQLITE_OK otherwise.
  int code = SQLITE_OK;
  // The failure's line as logged, without its newline; empty otherwise.
  std::string message;

  bool Failed() const { return rows < 0; }
  // Another try may succeed: the database was busy, full, unwritable or out
  // of memory, not the payload wrong.
  bool Transient() const { return Failed() && isTransientFailure(code); }

  static tvsOutcome Stored(int rows) { return {rows, SQLITE_OK, {}}; }
  static tvsOutcome Failure(int code, std::string message) {
    return {-1, code == SQLITE_OK ? SQLITE_ERROR : code, std::move(message)};
  }
};
