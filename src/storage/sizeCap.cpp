#include "sizeCap.h"

#include <cinttypes>

#include "errorLog.h"
#include "sqliteHandles.h"
#include "tvLog.h"

namespace {

int64_t pragmaInteger(sqlite3* db, const char* sql) {
  const tvsStmtHandle statement = prepare(db, sql);
  if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(statement.get(), 0);
}

// Bytes of the file's pages that hold data: free pages do not count, they
// are reused before the file grows.
int64_t usedBytes(sqlite3* db) {
  const int64_t pages = pragmaInteger(db, "PRAGMA page_count;");
  const int64_t free_pages = pragmaInteger(db, "PRAGMA freelist_count;");
  const int64_t page_size = pragmaInteger(db, "PRAGMA page_size;");
  if (pages < 0 || free_pages < 0 || page_size < 0) return -1;
  return (pages - free_pages) * page_size;
}

}  // namespace

void truncateWal(tvsChannelConfig& channel) {
  if (channel.db && channel.journal_mode == "wal") {
    sqlite3_wal_checkpoint_v2(channel.db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                              nullptr);
  }
}

void enforceSizeCap(tvsChannelConfig& channel) {
  sqlite3* db = channel.db.get();
  if (channel.max_db_mb <= 0 || !db) return;
  const int64_t bound = channel.max_db_mb << 20;
  int64_t used = usedBytes(db);
  channel.used_bytes = used;
  if (used <= bound) return;

  const int64_t target = bound / 10 * 9;
  const std::string chunk = "DELETE FROM " + channel.IntervalsTable() + " WHERE id IN (SELECT id FROM " +
                            channel.IntervalsTable() + " ORDER BY id LIMIT " +
                            std::to_string(kCapChunkIntervals) + ");";
  int64_t deleted = 0;
  std::string error;
  while (used > target) {
    if (!execSql(db, chunk, error)) {
      logChannelError("%s: size cap purge failed: %s\n", channel.name.c_str(), error.c_str());
      break;
    }
    const int removed = sqlite3_changes(db);
    if (removed == 0) break;  // nothing left to delete
    deleted += removed;
    used = usedBytes(db);
  }
  if (channel.auto_vacuum == "incremental" && !execSql(db, "PRAGMA incremental_vacuum;", error)) {
    logChannelError("%s: size cap purge failed: %s\n", channel.name.c_str(), error.c_str());
  }
  truncateWal(channel);
  channel.used_bytes = usedBytes(db);
  ++channel.cap_purges;
  tv_dprintf("%s: size cap: deleted %" PRId64 " intervals, %" PRId64 " bytes used\n",
             channel.name.c_str(), deleted, channel.used_bytes);
}
