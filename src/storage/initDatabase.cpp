// Opens a channel's database and makes sure its tables exist.
#include "channel/createTableSql.h"
#include "channelState.h"
#include "clock.h"
#include "connectionSettings.h"
#include "errorLog.h"
#include "intervalIdIndex.h"
#include "openDatabase.h"
#include "purge.h"
#include "rollupTables.h"
#include "sizeCap.h"
#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"
#include "writeBatch.h"

tvsChannelConfig::tvsChannelConfig() : state(std::make_unique<tvsChannelState>()) {}
tvsChannelConfig::~tvsChannelConfig() { CloseDatabase(); }

void tvsChannelConfig::CloseDatabase() noexcept {
  if (state->batch && state->batch->Open()) {
    // The owner commits its batches before it lets a channel go; this is
    // the last way out, where nothing is left to count the results.
    try {
      CommitBatch();
    } catch (const std::exception& e) {
      tv_dprintf("%s: %s\n", name.c_str(), e.what());
    }
  }
  state->ConnectionClosing();
  db.reset();
}

void tvsChannelConfig::InitDatabase() {
  CloseDatabase();
  const std::string path = FilePath();
  // sqlite3_open's flags, less SQLite's locking of the connection: only the
  // worker thread uses it.
  tvsOpenedDatabase opened = openDatabase(
      path, settings.file_mode, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX);
  db = std::move(opened.db);
  if (!opened.error.empty()) {
    throw tvException("%s: cannot open DB: %s: %s", name.c_str(), path.c_str(),
                      opened.error.c_str());
  }
  // When the file cannot be opened for writing (no descriptor or memory left,
  // no permission), SQLite opens it read-only without a word; every payload
  // would then fail.
  if (sqlite3_db_readonly(db.get(), "main") == 1) {
    throw tvException("%s: cannot open DB: %s: %s", name.c_str(), path.c_str(),
                      "the file could only be opened read-only");
  }
  const bool aggregator = IsAggregator();
  state->ConnectionOpened(db.get(), name, settings.commit_batch, aggregator);
  applyConnectionSettings(*this);

  const std::string intervals = IntervalsTable();
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
  // Its identity tells later whether the file at the path is still the one
  // this connection writes.
  state->file = opened.file ? opened.file : tvsFileIdentity::Of(path);
  reconcileTables(*this);
  // Foreign keys are a property of the connection, not of the file.
  if (!execSql(db.get(), "PRAGMA foreign_keys = ON;", error)) {
    throw tvException("%s: cannot enable foreign keys: %s", name.c_str(), error.c_str());
  }
  // Without an index on interval_id every interval row a purge deletes makes
  // SQLite scan each entry table for the cascade.
  if (aggregator) addIntervalIdIndexes(*this);
  if (aggregator) setUpRollups(*this);

  if (aggregator && purge_in_days > 0) {
    const tvsErrorCapture capture(state->last_error);
    Purge("Purging on startup for aggregate channel %s.%s\n");
  }
  if (aggregator && rollupsExpire(*this)) {
    const tvsErrorCapture capture(state->last_error);
    purgeRollups(*this, tvsClock(nullptr));
  }
}

bool tvsChannelConfig::EnsureConfiguredFile() {
  if (!state->file && !state->reopen_pending) return true;
  const std::string path = FilePath();
  if (!state->reopen_pending) {
    if (tvsFileIdentity::Of(path) == state->file) return true;
    tv_dprintf("%s: database file %s was removed or replaced; reopening it\n", name.c_str(),
               path.c_str());
  }
  // SQLite does not checkpoint a moved file on close and leaves its -wal
  // behind, to be replayed onto whatever file takes the path. So the frames go
  // now, through the open descriptor, into the file they belong to, and the
  // -wal is emptied. A no-op outside WAL mode.
  if (db)
    sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  std::string why;
  if (Reopen(why)) return true;
  logChannelError("%s: payload not stored: %s\n", name.c_str(), why.c_str());
  return false;
}

bool tvsChannelConfig::Reopen(std::string& why) {
  CloseDatabase();
  state->file.reset();
  try {
    InitDatabase();
  } catch (const std::exception& e) {
    state->reopen_pending = true;
    // The message names the channel already.
    why = e.what();
    const std::string prefix = name + ": ";
    if (why.compare(0, prefix.size(), prefix) == 0) why.erase(0, prefix.size());
    return false;
  }
  state->reopen_pending = false;
  return true;
}

bool tvsChannelConfig::SharesFileWith(const tvsChannelConfig& other) const {
  if (state->file && other.state->file) return *state->file == *other.state->file;
  return FilePath() == other.FilePath();
}
