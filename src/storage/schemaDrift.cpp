// Configured tables against the tables in the file: a column added to the
// configuration after its table was created makes every insert fail.
#include <cstring>

#include "channel/rollupSpec.h"
#include "connectionSettings.h"
#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"

using json = nlohmann::json;

namespace {

enum class Presence { kPresent, kMissing, kUnknown };

// Asks SQLite whether the INSERT could name `column` in `table`: names are
// resolved as SQLite resolves them (quotes, brackets, case), not compared as
// text. The statement is only prepared, never run.
Presence columnPresence(sqlite3* db, const std::string& table, const std::string& column) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(
      db, ("INSERT INTO " + table + " (" + column + ") VALUES (NULL);").c_str(), -1, &raw, nullptr);
  const tvsStmtHandle statement(raw);
  if (rc == SQLITE_OK) return Presence::kPresent;
  // "table T has no column named C"; anything else (no such table, a
  // generated column) is not drift.
  return std::strstr(sqlite3_errmsg(db), "has no column named") != nullptr ? Presence::kMissing
                                                                           : Presence::kUnknown;
}

}  // namespace

void reconcileTables(tvsChannelConfig& channel) {
  sqlite3* db = channel.db.get();
  const char* name = channel.name.c_str();
  const bool add = channel.settings.schema_update == "add_columns";
  for (const json& table : channel.tables) {
    // The table definitions have been generated already, so names and types
    // are strings here.
    const std::string table_name = table.at("name").get<std::string>();
    for (const json& column : table.at("columns")) {
      const std::string column_name = column.at("name").get<std::string>();
      if (columnPresence(db, table_name, column_name) != Presence::kMissing) continue;
      if (!add) {
        tv_dprintf("%s: table %s has no column %s; payloads will fail until it is added\n", name,
                   table_name.c_str(), column_name.c_str());
        continue;
      }
      if (column.value("primary_key", false) || column.value("autoincrement", false)) {
        throw tvException("%s: cannot add column %s to table %s: %s", name, column_name.c_str(),
                          table_name.c_str(), "a primary key column cannot be added");
      }
      std::string sql = "ALTER TABLE " + table_name + " ADD COLUMN " + column_name + " " +
                        column.at("type").get<std::string>();
      const auto fallback = column.find("default");
      if (fallback != column.end()) sql += " DEFAULT " + fallback->dump();
      std::string error;
      if (!execSql(db, sql + ";", error)) {
        throw tvException("%s: cannot add column %s to table %s: %s", name, column_name.c_str(),
                          table_name.c_str(), error.c_str());
      }
      tv_dprintf("%s: added column %s to table %s\n", name, column_name.c_str(),
                 table_name.c_str());
    }
  }
}

void reconcileRollup(tvsChannelConfig& channel, const tvsRollup& rollup) {
  sqlite3* db = channel.db.get();
  const char* name = channel.name.c_str();
  for (const tvsRollup::Column& column : rollup.group_by) {
    if (columnPresence(db, rollup.table, column.name) != Presence::kMissing) continue;
    throw tvException("%s: rollup %s: table %s has no group column %s; %s", name,
                      rollup.table.c_str(), rollup.table.c_str(), column.name.c_str(),
                      "a rollup table is never rewritten: give the rollup a new table");
  }
  std::vector<std::string> added = rollup.sum;
  if (!rollup.count.empty()) added.push_back(rollup.count);
  for (const std::string& column : added) {
    if (columnPresence(db, rollup.table, column) != Presence::kMissing) continue;
    if (channel.settings.schema_update != "add_columns") {
      tv_dprintf("%s: table %s has no column %s; payloads will fail until it is added\n", name,
                 rollup.table.c_str(), column.c_str());
      continue;
    }
    std::string error;
    if (!execSql(db,
                 "ALTER TABLE " + rollup.table + " ADD COLUMN " + column +
                     " INTEGER NOT NULL DEFAULT 0;",
                 error)) {
      throw tvException("%s: cannot add column %s to table %s: %s", name, column.c_str(),
                        rollup.table.c_str(), error.c_str());
    }
    tv_dprintf("%s: added column %s to table %s\n", name, column.c_str(), rollup.table.c_str());
  }
}
