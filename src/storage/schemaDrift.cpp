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

// A configured column `table` may lack: when it does, logged, or with
// add_columns added as `definition` (its type and constraints) and logged;
// `refusal`, when given, is why it cannot be added (a load error).
void reconcileColumn(tvsChannelConfig& channel, const std::string& table, const std::string& column,
                     const std::string& definition, const char* refusal = nullptr) {
  sqlite3* db = channel.db.get();
  const char* name = channel.name.c_str();
  if (columnPresence(db, table, column) != Presence::kMissing) return;
  if (channel.settings.schema_update != "add_columns") {
    tv_dprintf("%s: table %s has no column %s; payloads will fail until it is added\n", name,
               table.c_str(), column.c_str());
    return;
  }
  std::string error = refusal ? refusal : "";
  if (!refusal &&
      execSql(db, "ALTER TABLE " + table + " ADD COLUMN " + column + " " + definition + ";",
              error)) {
    tv_dprintf("%s: added column %s to table %s\n", name, column.c_str(), table.c_str());
    return;
  }
  throw tvException("%s: cannot add column %s to table %s: %s", name, column.c_str(), table.c_str(),
                    error.c_str());
}

}  // namespace

void reconcileTables(tvsChannelConfig& channel) {
  for (const json& table : channel.tables) {
    // The table definitions have been generated already, so names and types
    // are strings here.
    const std::string table_name = table.at("name").get<std::string>();
    for (const json& column : table.at("columns")) {
      std::string definition = column.at("type").get<std::string>();
      const auto fallback = column.find("default");
      if (fallback != column.end()) definition += " DEFAULT " + fallback->dump();
      const bool key = column.value("primary_key", false) || column.value("autoincrement", false);
      reconcileColumn(channel, table_name, column.at("name").get<std::string>(), definition,
                      key ? "a primary key column cannot be added" : nullptr);
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
  for (const std::string& column : rollup.Added()) {
    reconcileColumn(channel, rollup.table, column, "INTEGER NOT NULL DEFAULT 0");
  }
}
