// Configured tables against the tables in the file: a column added to the
// configuration after its table was created makes every insert fail.
#include <set>

#include "connectionSettings.h"
#include "sqliteHandles.h"
#include "tvException.h"
#include "tvLog.h"

using json = nlohmann::json;

namespace {

std::set<std::string> existingColumns(sqlite3* db, const std::string& table) {
  std::set<std::string> columns;
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, ("PRAGMA table_info(" + table + ");").c_str(), -1, &raw, nullptr);
  const tvsStmtHandle statement(raw);
  while (statement && sqlite3_step(statement.get()) == SQLITE_ROW) {
    columns.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1)));
  }
  return columns;
}

}  // namespace

void reconcileTables(tvsChannelConfig& channel) {
  sqlite3* db = channel.db.get();
  const char* name = channel.name.c_str();
  const bool add = channel.schema_update == "add_columns";
  for (const json& table : channel.tables) {
    // The table definitions have been generated already, so names and types
    // are strings here.
    const std::string table_name = table.at("name").get<std::string>();
    const std::set<std::string> existing = existingColumns(db, table_name);
    if (existing.empty()) continue;  // not a table SQLite can describe
    for (const json& column : table.at("columns")) {
      const std::string column_name = column.at("name").get<std::string>();
      if (existing.count(column_name)) continue;
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
