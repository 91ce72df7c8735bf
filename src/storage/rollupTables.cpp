#include "rollupTables.h"

#include <algorithm>
#include <cinttypes>
#include <optional>
#include <set>
#include <utility>

#include "aggregateWriter.h"
#include "channel/rollupSpec.h"
#include "channelState.h"
#include "connectionSettings.h"
#include "errorLog.h"
#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// The sum a rollup is filled with: sum() that goes on as a real number past
// the 64-bit range, as the sums added payload by payload do, instead of
// failing the fill; 0 over no value, as the table's NOT NULL columns need.
void sumStep(sqlite3_context* context, int, sqlite3_value** values) {
  auto* sum = static_cast<tvsRollupSum*>(sqlite3_aggregate_context(context, sizeof(tvsRollupSum)));
  if (sum == nullptr) {
    sqlite3_result_error_nomem(context);
    return;
  }
  switch (sqlite3_value_numeric_type(values[0])) {
    case SQLITE_NULL:
      return;
    case SQLITE_INTEGER:
      sum->Add(sqlite3_value_int64(values[0]));
      return;
    default:
      sum->AddReal(sqlite3_value_double(values[0]));
  }
}

void sumFinal(sqlite3_context* context) {
  const auto* sum = static_cast<tvsRollupSum*>(sqlite3_aggregate_context(context, 0));
  if (sum != nullptr && sum->is_real) {
    sqlite3_result_double(context, sum->real);
  } else {
    sqlite3_result_int64(context, sum != nullptr ? sum->integer : 0);
  }
}

[[noreturn]] void refuse(const tvsChannelConfig& channel, const tvsRollup& rollup,
                         const std::string& why) {
  throw tvException("%s: rollup %s: %s", channel.name.c_str(), rollup.table.c_str(), why.c_str());
}

// The schema and the table SQLite resolves the rollup's name to; false when
// no table of that name exists. A table or view without a bucket column is
// no rollup table.
bool resolve(sqlite3* db, const tvsChannelConfig& channel, const tvsRollup& rollup,
             std::string& schema, std::string& table) {
  const tvsStmtHandle probe =
      prepare(db, std::string("SELECT ") + kBucketColumn + " FROM " + rollup.table);
  if (!probe) {
    const std::string error = sqlite3_errmsg(db);
    if (error.rfind("no such table", 0) == 0) return false;
    refuse(channel, rollup, "table " + rollup.table + " is no rollup table: " + error);
  }
  const char* in_schema = sqlite3_column_database_name(probe.get(), 0);
  const char* named = sqlite3_column_table_name(probe.get(), 0);
  if (in_schema == nullptr || named == nullptr) {
    refuse(channel, rollup, rollup.table + " is no table");
  }
  schema = in_schema;
  table = named;
  return true;
}

void exec(sqlite3* db, const tvsChannelConfig& channel, const tvsRollup& rollup,
          const std::string& sql, const char* what) {
  std::string error;
  if (!execSql(db, sql, error)) refuse(channel, rollup, std::string(what) + ": " + error);
}

std::string keyIndex(const std::string& schema, const std::string& table) {
  return quotedName(schema) + "." + quotedName(table + "_key");
}

// The last interval whose rows the rollup's sums hold; none when the marks
// table has no row for it.
std::optional<int64_t> readMark(sqlite3* db, const tvsChannelConfig& channel,
                                const tvsRollup& rollup) {
  const tvsStmtHandle read = prepare(
      db, "SELECT last_interval FROM " + tvsRollupMarksTable(channel.name) + " WHERE rollup = ?");
  if (!read) refuse(channel, rollup, std::string("cannot read its mark: ") + sqlite3_errmsg(db));
  const std::string key = rollup.Key();
  sqlite3_bind_text(read.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(read.get());
  if (rc == SQLITE_ROW) return sqlite3_column_int64(read.get(), 0);
  if (rc != SQLITE_DONE) {
    refuse(channel, rollup, std::string("cannot read its mark: ") + sqlite3_errmsg(db));
  }
  return std::nullopt;
}

// An existing table: the bucket width its text records, its columns, its key.
void check(tvsChannelConfig& channel, const tvsRollup& rollup, const std::string& schema,
           const std::string& table) {
  sqlite3* db = channel.db.get();
  const tvsStmtHandle text = prepare(db, "SELECT sql FROM " + quotedName(schema) +
                                             ".sqlite_schema WHERE type = 'table' AND name = ?");
  if (!text) refuse(channel, rollup, std::string("cannot read its table: ") + sqlite3_errmsg(db));
  sqlite3_bind_text(text.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  const bool found = sqlite3_step(text.get()) == SQLITE_ROW;
  const char* sql =
      found ? reinterpret_cast<const char*>(sqlite3_column_text(text.get(), 0)) : nullptr;
  if (sql == nullptr || std::string(sql).find(rollup.WidthCheck()) == std::string::npos) {
    refuse(channel, rollup,
           "table " + rollup.table + " was not made with buckets of " +
               std::to_string(rollup.seconds) +
               " seconds; a rollup table is never rewritten: give the rollup a new table");
  }
  reconcileRollup(channel, rollup);
  exec(db, channel, rollup, rollup.CreateKeySql(keyIndex(schema, table), quotedName(table)),
       "cannot create its key");
  // The key the payloads' sums are added by must be the table's.
  const tvsStmtHandle probe =
      prepare(db, "INSERT INTO " + rollup.table + " (" + kBucketColumn +
                      ") VALUES (0) ON CONFLICT (" + rollup.KeyColumns() + ") DO NOTHING");
  if (!probe) {
    refuse(channel, rollup,
           "table " + rollup.table + " keeps other groups than configured (" + sqlite3_errmsg(db) +
               "); a rollup table is never rewritten: give the rollup a new table");
  }
}

// Sets up one rollup in one transaction: its table (created, or checked),
// its key, and its sums of every row the file holds after its mark, which
// then moves to the newest interval. A set-up cut short leaves the mark
// where the sums are, and the next one goes on from there.
void setUp(tvsChannelConfig& channel, const tvsRollup& rollup) {
  sqlite3* db = channel.db.get();
  const std::string marks = tvsRollupMarksTable(channel.name);
  exec(db, channel, rollup, "BEGIN IMMEDIATE;", "cannot set up its table");
  try {
    exec(db, channel, rollup,
         "CREATE TABLE IF NOT EXISTS " + marks +
             " (rollup TEXT PRIMARY KEY, last_interval INTEGER NOT NULL);",
         "cannot create the marks table");
    std::string schema;
    std::string table;
    std::optional<int64_t> mark;
    if (resolve(db, channel, rollup, schema, table)) {
      check(channel, rollup, schema, table);
      mark = readMark(db, channel, rollup);
    } else {
      exec(db, channel, rollup, rollup.CreateTableSql(), "cannot create its table");
      if (!resolve(db, channel, rollup, schema, table)) {
        refuse(channel, rollup, "table not created");
      }
      exec(db, channel, rollup, rollup.CreateKeySql(keyIndex(schema, table), quotedName(table)),
           "cannot create its key");
      mark = 0;
    }
    std::string error;
    const std::string newest = pragmaValue(
        db, "SELECT coalesce(max(id), 0) FROM " + channel.IntervalsTable() + ";", error);
    if (!error.empty()) refuse(channel, rollup, "cannot read the intervals: " + error);
    // A table whose mark is gone is taken to hold what the file holds.
    if (!mark) mark = std::stoll(newest);
    const std::string entries = channel.tables.at(0).at("name").get<std::string>();
    const std::string pending = pragmaValue(
        db,
        "SELECT count(*) FROM " + entries + " WHERE interval_id > " + std::to_string(*mark) + ";",
        error);
    if (!error.empty()) refuse(channel, rollup, "cannot fill its table: " + error);
    if (pending != "0") {
      exec(db, channel, rollup, rollup.FillSql(entries, channel.IntervalsTable(), *mark),
           "cannot fill its table");
      tv_dprintf("%s: rollup %s: filled with %d rows from %s rows of table %s\n",
                 channel.name.c_str(), rollup.table.c_str(), sqlite3_changes(db), pending.c_str(),
                 entries.c_str());
    }
    const tvsStmtHandle moved = prepare(
        db, "INSERT INTO " + marks +
                " (rollup, last_interval) VALUES (?1, ?2) ON CONFLICT (rollup) DO UPDATE SET "
                "last_interval = excluded.last_interval");
    if (!moved) refuse(channel, rollup, std::string("cannot set its mark: ") + sqlite3_errmsg(db));
    const std::string key = rollup.Key();
    sqlite3_bind_text(moved.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(moved.get(), 2, std::stoll(newest));
    if (sqlite3_step(moved.get()) != SQLITE_DONE) {
      refuse(channel, rollup, std::string("cannot set its mark: ") + sqlite3_errmsg(db));
    }
    exec(db, channel, rollup, "COMMIT;", "cannot set up its table");
  } catch (...) {
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    throw;
  }
}

// Two rollups of one table (spelled apart), or a rollup of a table the
// channel keeps rows in, would add the same sums twice.
void refuseSharedTables(tvsChannelConfig& channel) {
  sqlite3* db = channel.db.get();
  std::set<std::pair<std::string, std::string>> taken;
  const auto resolved = [&](const std::string& name) -> std::pair<std::string, std::string> {
    const tvsStmtHandle probe = prepare(db, "SELECT * FROM " + name);
    const char* schema = probe ? sqlite3_column_database_name(probe.get(), 0) : nullptr;
    const char* table = probe ? sqlite3_column_table_name(probe.get(), 0) : nullptr;
    if (schema == nullptr || table == nullptr) return {"", tvsSqlNameKey(name)};
    return {schema, tvsSqlNameKey(table)};
  };
  taken.insert(resolved(channel.IntervalsTable()));
  for (const auto& table : channel.tables) {
    taken.insert(resolved(table.at("name").get<std::string>()));
  }
  for (const auto& writer : channel.state->writer->Rollups()) {
    const tvsRollup& rollup = writer->Spec();
    if (!taken.insert(resolved(rollup.table)).second) {
      refuse(channel, rollup, "another rollup or a table of the channel is that table");
    }
  }
}

}  // namespace

void setUpRollups(tvsChannelConfig& channel) {
  const auto& rollups = channel.state->writer->Rollups();
  if (rollups.empty()) return;
  sqlite3* db = channel.db.get();
  if (sqlite3_create_function_v2(db, kRollupSumFunction, 1,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                 nullptr, sumStep, sumFinal, nullptr) != SQLITE_OK) {
    throw tvException("%s: cannot set up rollups: %s", channel.name.c_str(), sqlite3_errmsg(db));
  }
  refuseSharedTables(channel);
  for (const auto& writer : rollups) setUp(channel, writer->Spec());
}

bool rollupsExpire(const tvsChannelConfig& channel) {
  for (const auto& writer : channel.state->writer->Rollups()) {
    if (writer->Spec().keep_days > 0) return true;
  }
  return false;
}

void purgeRollups(tvsChannelConfig& channel, int64_t now) {
  sqlite3* db = channel.db.get();
  if (!db) return;
  for (const auto& writer : channel.state->writer->Rollups()) {
    const tvsRollup& rollup = writer->Spec();
    if (rollup.keep_days <= 0) continue;
    const int64_t cutoff = now - rollup.keep_days * kSecondsPerDay;
    std::string error;
    if (!execSql(db,
                 "DELETE FROM " + rollup.table + " WHERE " + kBucketColumn + " < " +
                     std::to_string(cutoff) + ";",
                 error)) {
      logChannelError("%s: rollup %s: purge failed: %s\n", channel.name.c_str(),
                      rollup.table.c_str(), error.c_str());
      continue;
    }
    tv_dprintf("%s: rollup %s: purged %d rows of buckets older than %" PRId64 " days\n",
               channel.name.c_str(), rollup.table.c_str(), sqlite3_changes(db), rollup.keep_days);
  }
}

int64_t rollupBytes(tvsChannelConfig& channel) {
  sqlite3* db = channel.db.get();
  const auto& rollups = channel.state->writer->Rollups();
  if (!db || rollups.empty()) return 0;
  int64_t bytes = 0;
  for (const auto& writer : rollups) {
    std::string schema;
    std::string table;
    try {
      if (!resolve(db, channel, writer->Spec(), schema, table)) continue;
    } catch (const std::exception&) {
      return -1;
    }
    const tvsStmtHandle size = prepare(
        db, "SELECT coalesce(sum(pgsize), 0) FROM dbstat WHERE schema = ?1 AND name IN (?2, ?3)");
    if (!size) return -1;
    const std::string key = table + "_key";
    sqlite3_bind_text(size.get(), 1, schema.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(size.get(), 2, table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(size.get(), 3, key.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(size.get()) != SQLITE_ROW) return -1;
    bytes += sqlite3_column_int64(size.get(), 0);
  }
  return bytes;
}
