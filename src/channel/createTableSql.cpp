#include "createTableSql.h"

#include <iostream>
#include <sstream>

#include "tvException.h"

using json = nlohmann::json;

namespace {

// Returns the member `key` of `schema`. A schema that is not an object makes
// the JSON library raise its own type error (a const operator[] on a
// non-object throws); a missing key raises a configuration error naming
// `where`, instead of the library's assertion.
const json& requiredMember(const json& schema, const char* key, const std::string& where) {
  if (!schema.is_object()) return schema[key];
  const auto it = schema.find(key);
  if (it == schema.end()) {
    throw tvException("Configuration error - %s has no \"%s\"", where.c_str(), key);
  }
  return *it;
}

bool flagSet(const json& column, const char* key) { return column.value(key, false); }

std::string describeTable(size_t index, const json& table) {
  if (table.is_object()) {
    const auto name = table.find("name");
    if (name != table.end() && name->is_string()) return "table " + name->get<std::string>();
  }
  return "table #" + std::to_string(index);
}

std::string describeColumn(const std::string& table, size_t index, const json& column) {
  if (column.is_object()) {
    const auto name = column.find("name");
    if (name != column.end() && name->is_string()) {
      return table + ", column " + name->get<std::string>();
    }
  }
  return table + ", column #" + std::to_string(index);
}

void appendTable(std::ostringstream& sql, size_t table_index, const json& table) {
  std::string where = describeTable(table_index, table);
  const std::string table_name = requiredMember(table, "name", where).get<std::string>();
  std::cout << "Found table: " << table_name << "\n";
  const json& columns = requiredMember(table, "columns", where);

  sql << "CREATE TABLE IF NOT EXISTS " << table_name << " (\n";
  size_t index = 0;
  for (const json& column : columns) {
    const std::string column_where = describeColumn(where, index, column);
    if (index++ > 0) sql << ",\n";
    sql << "    " << requiredMember(column, "name", column_where).get<std::string>() << " "
        << requiredMember(column, "type", column_where).get<std::string>();
    if (flagSet(column, "primary_key")) sql << " PRIMARY KEY";
    if (flagSet(column, "autoincrement")) sql << " AUTOINCREMENT";
    if (flagSet(column, "not_null")) sql << " NOT NULL";
    const auto fallback = column.find("default");
    if (fallback != column.end()) sql << " DEFAULT " << fallback->dump();
  }

  // Foreign keys follow all column definitions, in column order.
  index = 0;
  for (const json& column : columns) {
    const std::string column_where = describeColumn(where, index++, column);
    const auto foreign = column.find("foreign_key");
    if (foreign == column.end()) continue;
    const std::string key_where = column_where + ", foreign key";
    sql << ",\n    FOREIGN KEY (" << requiredMember(column, "name", column_where).get<std::string>()
        << ") REFERENCES " << requiredMember(*foreign, "table", key_where).get<std::string>() << "("
        << requiredMember(*foreign, "column", key_where).get<std::string>() << ")";
    const auto on_delete = foreign->find("on_delete");
    if (on_delete != foreign->end()) sql << " ON DELETE " << on_delete->get<std::string>();
  }
  sql << "\n);";
}

}  // namespace

std::string generateCreateTableSQL(const json& tables) {
  if (!tables.is_array() || tables.empty()) {
    throw tvException("Configuration error - no tables defined");
  }
  std::ostringstream sql;
  size_t index = 0;
  for (const json& table : tables) appendTable(sql, index++, table);
  return sql.str();
}
