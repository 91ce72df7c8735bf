#include "connectionSettings.h"

#include <algorithm>

#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"

namespace {

const char* autoVacuumName(const std::string& number) {
  return number == "1" ? "full" : number == "2" ? "incremental" : "none";
}

}  // namespace

void applyConnectionSettings(tvsChannelConfig& channel) {
  sqlite3* db = channel.db.get();
  const char* name = channel.name.c_str();
  const tvsChannelSettings& settings = channel.settings;
  std::string error;

  if (!settings.auto_vacuum.empty()) {
    const std::string pages = pragmaValue(db, "PRAGMA page_count;", error);
    if (!error.empty())
      throw tvException("%s: cannot set %s: %s", name, "auto_vacuum", error.c_str());
    if (pages == "0") {
      if (!execSql(db, "PRAGMA auto_vacuum = " + settings.auto_vacuum + ";", error)) {
        throw tvException("%s: cannot set %s: %s", name, "auto_vacuum", error.c_str());
      }
    } else {
      const std::string current = autoVacuumName(pragmaValue(db, "PRAGMA auto_vacuum;", error));
      if (current != settings.auto_vacuum) {
        tv_dprintf(
            "%s: auto_vacuum %s takes effect on the existing file only after a VACUUM (now %s)\n",
            name, settings.auto_vacuum.c_str(), current.c_str());
      }
    }
  }

  // Unset, synchronous is EXTRA, not SQLite's FULL: in the rollback journal's
  // default mode a commit ends by deleting the journal, and FULL does not sync
  // the directory after that; a power cut before the file system writes the
  // deletion out leaves a hot journal, which rolls the commit back at the next
  // open, after its "saved" line. EXTRA syncs the directory first. In the
  // other modes no commit deletes a file and EXTRA costs what FULL does.
  const std::string synchronous = settings.synchronous.empty() ? "extra" : settings.synchronous;
  // Switching a new file to another journal mode is itself a commit in
  // rollback mode, with its journal deleted: under FULL its loss would take
  // the new mode with it, and what is written after.
  const std::string while_switching = synchronous == "full" ? "extra" : synchronous;
  // A file that is no database fails here already; unasked, the table
  // creation says so, as it always has.
  if (!execSql(db, "PRAGMA synchronous = " + while_switching + ";", error) &&
      !settings.synchronous.empty()) {
    throw tvException("%s: cannot set %s: %s", name, "synchronous", error.c_str());
  }
  if (!settings.journal_mode.empty()) {
    // SQLite answers with the mode in force, which differs when it refused.
    const std::string mode =
        pragmaValue(db, "PRAGMA journal_mode = " + settings.journal_mode + ";", error);
    if (!error.empty() || mode != settings.journal_mode) {
      throw tvException("%s: cannot set %s: %s", name, "journal_mode",
                        error.empty() ? ("SQLite kept " + mode).c_str() : error.c_str());
    }
  }
  if (settings.journal_mode == "wal") {
    // A reader that keeps the WAL from being checkpointed lets it grow; once
    // it can be, SQLite cuts it back to this size.
    int64_t limit_mb = settings.wal_limit_mb;
    if (limit_mb < 0) {
      limit_mb = 16;
      if (settings.max_db_mb > 0)
        limit_mb = std::max<int64_t>(1, std::min(limit_mb, settings.max_db_mb / 10));
    }
    if (!execSql(db, "PRAGMA journal_size_limit = " + std::to_string(limit_mb << 20) + ";",
                 error)) {
      throw tvException("%s: cannot set %s: %s", name, "wal_limit_mb", error.c_str());
    }
  }
  if (while_switching != synchronous &&
      !execSql(db, "PRAGMA synchronous = " + synchronous + ";", error)) {
    throw tvException("%s: cannot set %s: %s", name, "synchronous", error.c_str());
  }
  if (settings.busy_timeout >= 0 &&
      sqlite3_busy_timeout(db, static_cast<int>(settings.busy_timeout)) != SQLITE_OK) {
    throw tvException("%s: cannot set %s: %s", name, "busy_timeout", sqlite3_errmsg(db));
  }
}
