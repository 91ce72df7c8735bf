#include "intervalIdIndex.h"

#include <cstring>

#include "sqliteHandles.h"
#include "tvLog.h"

namespace {

bool isPlainName(const std::string& name) {
  if (name.empty() || std::strchr("0123456789", name[0]) != nullptr) return false;
  for (const unsigned char c : name) {
    if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
      return false;
  }
  return true;
}

// Makes sure `table` (as configured: SQL text) has an index led by its
// `interval_id` column. Returns false with SQLite's message when it cannot.
bool ensureIndex(sqlite3* db, const std::string& table, std::string& error) {
  // SQLite resolves the configured text, quoted, bracketed or qualified, to
  // the schema, table and column the INSERT will use.
  const tvsStmtHandle probe = prepare(db, "SELECT interval_id FROM " + table);
  if (!probe) {
    error = sqlite3_errmsg(db);
    // A table without the column (one the plugin never writes) needs none.
    return error.rfind("no such column", 0) == 0;
  }
  const char* schema = sqlite3_column_database_name(probe.get(), 0);
  const char* resolved = sqlite3_column_table_name(probe.get(), 0);
  const char* column = sqlite3_column_origin_name(probe.get(), 0);
  if (schema == nullptr || resolved == nullptr || column == nullptr) return true;  // a view

  const tvsStmtHandle lookup =
      prepare(db,
              "SELECT 1 FROM pragma_index_list(?1, ?2) AS l, pragma_index_info(l.name, ?2) AS i "
              "WHERE i.seqno = 0 AND i.name = ?3");
  if (!lookup) {
    error = sqlite3_errmsg(db);
    return false;
  }
  sqlite3_bind_text(lookup.get(), 1, resolved, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(lookup.get(), 2, schema, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(lookup.get(), 3, column, -1, SQLITE_TRANSIENT);
  const int found = sqlite3_step(lookup.get());
  if (found == SQLITE_ROW) return true;  // nothing is written
  if (found != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
    return false;
  }

  const std::string sql = isPlainName(table)
                              ? "CREATE INDEX IF NOT EXISTS idx_" + table + "_interval_id ON " +
                                    table + "(interval_id);"
                              : "CREATE INDEX IF NOT EXISTS " + quotedName(schema) + "." +
                                    quotedName("idx_" + std::string(resolved) + "_interval_id") +
                                    " ON " + quotedName(resolved) + "(interval_id);";
  return execSql(db, sql, error);
}

}  // namespace

void addIntervalIdIndexes(const tvsChannelConfig& channel) {
  for (const auto& table : channel.tables) {
    // The table definitions have been generated already: the name is a string.
    const std::string table_name = table.at("name").get<std::string>();
    std::string error;
    if (!ensureIndex(channel.db.get(), table_name, error)) {
      tv_dprintf("%s: no interval_id index on table %s: %s\n", channel.name.c_str(),
                 table_name.c_str(), error.c_str());
    }
  }
}
