#include "sizeCap.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>

#include "channelState.h"
#include "errorLog.h"
#include "rollupTables.h"
#include "sqliteHandles.h"
#include "tvLog.h"

namespace {

// Bytes of the file's pages that hold data: free pages do not count, they
// are reused before the file grows. -1 when SQLite cannot tell.
int64_t usedBytes(sqlite3* db) {
  std::string error;
  const std::string used =
      pragmaValue(db,
                  "SELECT (p.page_count - f.freelist_count) * s.page_size "
                  "FROM pragma_page_count() p, pragma_freelist_count() f, pragma_page_size() s;",
                  error);
  return error.empty() && !used.empty() ? std::stoll(used) : -1;
}

}  // namespace

void truncateWal(tvsChannelConfig& channel) {
  if (channel.db && channel.settings.journal_mode == "wal") {
    sqlite3_wal_checkpoint_v2(channel.db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                              nullptr);
  }
}

void enforceSizeCap(tvsChannelConfig& channel, int64_t newest_first) {
  sqlite3* db = channel.db.get();
  if (channel.settings.max_db_mb <= 0 || !db) return;
  const int64_t bound = channel.settings.max_db_mb << 20;
  int64_t used = usedBytes(db);
  channel.state->used_bytes = used;
  if (used <= bound) return;

  const std::string intervals = channel.IntervalsTable();
  // The intervals of the commit that crossed the bound stay, whatever they
  // weigh: a cap must not delete what was just reported saved.
  const std::string older =
      " WHERE id < " + std::to_string(newest_first > 0 ? newest_first : INT64_MAX);
  std::string error;
  const auto count = [&](const std::string& where) -> int64_t {
    const std::string n = pragmaValue(db, "SELECT count(*) FROM " + intervals + where + ";", error);
    return error.empty() && !n.empty() ? std::stoll(n) : 0;
  };
  const int64_t all = count("");
  int64_t deletable = count(older);
  // Chunks are sized from what an interval weighs, first on average and then
  // as the last chunk showed, so the cap stops near 90 % of the bound rather
  // than a whole chunk below it.
  int64_t per_interval = std::max<int64_t>(1, used / std::max<int64_t>(1, all));
  const int64_t target = bound / 10 * 9;
  int64_t deleted = 0;
  while (used > target && deletable > 0) {
    const int64_t chunk = std::clamp<int64_t>((used - target + per_interval - 1) / per_interval, 1,
                                              kCapChunkIntervals);
    const std::string sql = "DELETE FROM " + intervals + " WHERE id IN (SELECT id FROM " +
                            intervals + older + " ORDER BY id LIMIT " + std::to_string(chunk) +
                            ");";
    if (!execSql(db, sql, error)) {
      logChannelError("%s: size cap purge failed: %s\n", channel.name.c_str(), error.c_str());
      break;
    }
    const int removed = sqlite3_changes(db);
    if (removed == 0) break;
    deleted += removed;
    deletable -= removed;
    const int64_t before = used;
    used = usedBytes(db);
    // Rows smaller than a page may free none: then take more at a time.
    per_interval = before > used ? std::max<int64_t>(1, (before - used) / removed)
                                 : std::max<int64_t>(1, per_interval / 2);
  }
  if (channel.settings.auto_vacuum == "incremental" &&
      !execSql(db, "PRAGMA incremental_vacuum;", error)) {
    logChannelError("%s: size cap purge failed: %s\n", channel.name.c_str(), error.c_str());
  }
  truncateWal(channel);
  channel.state->used_bytes = usedBytes(db);
  ++channel.state->cap_purges;
  // Rollup rows are never the cap's to delete: when they alone take more
  // than the bound, only a shorter keep_days or a larger bound helps.
  std::string over;
  if (channel.state->used_bytes > bound && deletable == 0) {
    const int64_t rollups = rollupBytes(channel);
    over = rollups > bound ? "; the rollup tables alone take " + std::to_string(rollups) +
                                 " bytes, more than the bound"
           : rollups > 0 ? "; the newest commit and the rollup tables (" + std::to_string(rollups) +
                               " bytes) exceed the bound"
                         : "; the newest commit alone exceeds the bound";
  }
  tv_dprintf("%s: size cap: deleted %" PRId64 " intervals, %" PRId64 " bytes used%s\n",
             channel.name.c_str(), deleted, channel.state->used_bytes, over.c_str());
}
