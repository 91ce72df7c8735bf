// Opens a channel's database and makes sure its tables exist.
#include "connectionSettings.h"
#include "createTableSql.h"
#include "errorLog.h"
#include "intervalIdIndex.h"
#include "purge.h"
#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"

void tvsChannelConfig::InitDatabase() {
  const std::string path = db_path + "/" + db_name;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(path.c_str(), &raw);
  db.reset(raw);
  if (opened != SQLITE_OK) {
    throw tvException("%s: cannot open DB: %s: %s", name.c_str(), path.c_str(),
                      sqlite3_errmsg(db.get()));
  }
  applyConnectionSettings(*this);

  const bool aggregator = data_source == "aggregator";
  const std::string intervals = name + "_intervals";
  std::string sql = "CREATE TABLE IF NOT EXISTS " + intervals;
  sql +=
      " (id INTEGER PRIMARY KEY,time_start INTEGER NOT NULL,time_end INTEGER NOT NULL,created_at DATETIME DEFAULT CURRENT_TIMESTAMP);";
  sql += "CREATE INDEX IF NOT EXISTS idx_" + intervals + "_created_at ON " + intervals +
         "(created_at);";
  sql += "CREATE INDEX IF NOT EXISTS idx_" + intervals + "_range ON " + intervals +
         "(time_start, time_end);";
  sql += generateCreateTableSQL(tables);

  std::string error;
  if (!execSql(db.get(), sql, error)) {
    throw tvException("%s: cannot create tables: %s", name.c_str(), error.c_str());
  }
  reconcileTables(*this);
  // Foreign keys are a property of the connection, not of the file.
  if (!execSql(db.get(), "PRAGMA foreign_keys = ON;", error)) {
    throw tvException("%s: cannot enable foreign keys: %s", name.c_str(), error.c_str());
  }
  // Without an index on interval_id every interval row a purge deletes makes
  // SQLite scan each entry table for the cascade.
  if (aggregator) addIntervalIdIndexes(*this);

  if (aggregator && purge_in_days > 0) {
    const tvsErrorCapture capture(last_error);
    ++purges_run;
    tv_dprintf("Purging on startup for aggregate channel %s.%s\n", name.c_str(), db_name.c_str());
    PurgeAggregateData(name, db_path, db_name, purge_in_days, busy_timeout);
  }
}
