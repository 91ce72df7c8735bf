#include "sizeCap.h"

#include <cinttypes>

#include "errorLog.h"
#include "sqliteHandles.h"
#include "tvLog.h"

namespace {

// Bytes of the file's pages that hold data: free pages do not count, they
// are reused before the file grows. -1 when SQLite cannot tell.
int64_t usedBytes(sqlite3* db) {
  std::string error;
  const std::string used = pragmaValue(
      db,
      "SELECT (p.page_count - f.freelist_count) * s.page_size "
      "FROM pragma_page_count() p, pragma_freelist_count() f, pragma_page_size() s;",
      error);
  return error.empty() && !used.empty() ? std::stoll(used) : -1;
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
