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
  std::string error;

  if (!channel.auto_vacuum.empty()) {
    const std::string pages = pragmaValue(db, "PRAGMA page_count;", error);
    if (!error.empty())
      throw tvException("%s: cannot set %s: %s", name, "auto_vacuum", error.c_str());
    if (pages == "0") {
      if (!execSql(db, "PRAGMA auto_vacuum = " + channel.auto_vacuum + ";", error)) {
        throw tvException("%s: cannot set %s: %s", name, "auto_vacuum", error.c_str());
      }
    } else {
      const std::string current = autoVacuumName(pragmaValue(db, "PRAGMA auto_vacuum;", error));
      if (current != channel.auto_vacuum) {
        tv_dprintf(
            "%s: auto_vacuum %s takes effect on the existing file only after a VACUUM (now %s)\n",
            name, channel.auto_vacuum.c_str(), current.c_str());
      }
    }
  }

  if (!channel.journal_mode.empty()) {
    // SQLite answers with the mode in force, which differs when it refused.
    const std::string mode =
        pragmaValue(db, "PRAGMA journal_mode = " + channel.journal_mode + ";", error);
    if (!error.empty() || mode != channel.journal_mode) {
      throw tvException("%s: cannot set %s: %s", name, "journal_mode",
                        error.empty() ? ("SQLite kept " + mode).c_str() : error.c_str());
    }
  }
  if (channel.journal_mode == "wal") {
    // A reader that keeps the WAL from being checkpointed lets it grow; once
    // it can be, SQLite cuts it back to this size.
    int64_t limit_mb = channel.wal_limit_mb;
    if (limit_mb < 0) {
      limit_mb = 16;
      if (channel.max_db_mb > 0) limit_mb = std::max<int64_t>(1, std::min(limit_mb, channel.max_db_mb / 10));
    }
    if (!execSql(db, "PRAGMA journal_size_limit = " + std::to_string(limit_mb << 20) + ";", error)) {
      throw tvException("%s: cannot set %s: %s", name, "wal_limit_mb", error.c_str());
    }
  }
  if (!channel.synchronous.empty() &&
      !execSql(db, "PRAGMA synchronous = " + channel.synchronous + ";", error)) {
    throw tvException("%s: cannot set %s: %s", name, "synchronous", error.c_str());
  }
  if (channel.busy_timeout >= 0 && sqlite3_busy_timeout(db, channel.busy_timeout) != SQLITE_OK) {
    throw tvException("%s: cannot set %s: %s", name, "busy_timeout", sqlite3_errmsg(db));
  }
}
