// Completes the table schemas of an aggregator channel with the two leading
// columns that tie every entry row to its interval row.
#include "tvsChannelConfig.h"

using json = nlohmann::json;

void tvsChannelConfig::AddDefaultColumns() {
  if (!IsAggregator()) return;
  if (!tables.is_array() || tables.empty()) return;

  const std::string intervals_table = IntervalsTable();
  for (json& table : tables) {
    if (!table.is_object()) continue;

    json columns = json::array();
    columns.push_back(
        {{"name", "id"}, {"type", "INTEGER"}, {"primary_key", true}, {"autoincrement", false}});
    columns.push_back({{"name", "interval_id"},
                       {"type", "INTEGER"},
                       {"not_null", true},
                       {"foreign_key",
                        {{"table", intervals_table}, {"column", "id"}, {"on_delete", "CASCADE"}}}});

    // A "columns" value that is not an array is discarded.
    auto configured = table.find("columns");
    if (configured != table.end() && configured->is_array()) {
      for (json& column : *configured) columns.push_back(std::move(column));
    }
    table["columns"] = std::move(columns);
  }
}
