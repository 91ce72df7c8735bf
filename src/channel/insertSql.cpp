#include "insertSql.h"

#include <stdexcept>

using json = nlohmann::json;

bool isInsertedColumn(const json& column) {
  if (!column.is_object()) return false;
  const auto name = column.find("name");
  if (name == column.end()) return false;
  if (column.value("autoincrement", false)) return false;
  return name->get<std::string>() != "id";
}

std::string generateInsertSQL(const json& table) { return generateGroupedInsertSQL(table, 1); }

std::string generateGroupedInsertSQL(const json& table, size_t rows) {
  const auto name = table.find("name");
  if (name == table.end() || !name->is_string()) throw std::runtime_error("Table missing name");
  const auto columns = table.find("columns");
  if (columns == table.end() || !columns->is_array()) {
    throw std::runtime_error("Table has no columns");
  }

  std::string sql = "INSERT INTO " + name->get<std::string>() + " (";
  size_t listed = 0;
  for (const json& column : *columns) {
    if (!isInsertedColumn(column)) continue;
    if (listed++ > 0) sql += ", ";
    sql += column["name"].get<std::string>();
  }
  std::string row = "(";
  for (size_t i = 0; i < listed; ++i) row += i == 0 ? "?" : ", ?";
  row += ")";
  sql += ") VALUES " + row;
  for (size_t i = 1; i < rows; ++i) sql += ", " + row;
  return sql;
}
