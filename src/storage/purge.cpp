#include "purge.h"

#include "errorLog.h"
#include "openDatabase.h"
#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"

void PurgeAggregateData(const std::string& channel_name, const std::string& db_path,
                        const std::string& db_name, int days, int busy_timeout, int64_t file_mode) {
  const std::string path = tvsDatabaseFile(db_path, db_name);
  // sqlite3_open's flags; checked, private and defensive as the channel's.
  tvsOpenedDatabase opened =
      openDatabase(path, file_mode, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  // Owns the handle from here on, also the one a failed open returns.
  tvsDbHandle db = std::move(opened.db);
  if (!opened.error.empty()) {
    logChannelError("Failed to open DB '%s': %s\n", db_name.c_str(), opened.error.c_str());
    return;
  }

  if (busy_timeout >= 0) sqlite3_busy_timeout(db.get(), busy_timeout);

  std::string error;
  if (!execSql(db.get(), "PRAGMA foreign_keys = ON;", error)) {
    db.reset();
    throw tvException("%s: cannot enable foreign keys: %s", channel_name.c_str(), error.c_str());
  }

  const std::string intervals = tvsIntervalsTable(channel_name);
  const std::string purge = "DELETE FROM " + intervals + " WHERE created_at < datetime('now', '-" +
                            std::to_string(days) + " days');";
  if (!execSql(db.get(), purge, error)) {
    logChannelError("Error purging table %s: %s\n", intervals.c_str(), error.c_str());
    return;
  }
  if (!execSql(db.get(), "PRAGMA incremental_vacuum;", error)) {
    logChannelError("Error running incremental_vacuum on %s: %s\n", intervals.c_str(),
                    error.c_str());
    return;
  }
  tv_dprintf("sink-sqlite: purged data older than %d days from table %s in DB %s\n", days,
             intervals.c_str(), db_name.c_str());
}
