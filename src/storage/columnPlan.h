// How the entry values of one payload reach the entry statement: the column
// schemas of the channel's first table, read once per payload.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "sqliteHandles.h"

class tvsColumnPlan {
 public:
  // Reads the column schemas of `table`. The columns that the INSERT lists
  // (isInsertedColumn) are walked in statement order: the first takes the
  // interval id, every further one the entry member of its mapped name. The
  // JSON library raises its type error for a non-string "name", "mapped" or
  // "type", or a "split" that is neither a number nor a boolean.
  explicit tvsColumnPlan(const nlohmann::json& table);

  // The distinct mapped names; an entry's values are looked up by slot.
  size_t Slots() const { return slot_names.size(); }
  const std::string& SlotName(size_t slot) const { return slot_names[slot]; }
  // The slot of a mapped name, or -1 when no column maps it.
  int SlotOf(const std::string& member) const {
    const auto it = slot_index.find(member);
    return it == slot_index.end() ? -1 : static_cast<int>(it->second);
  }

  // Binds `interval_id` to parameter 1 and one entry's values from parameter
  // 2 on. `value(slot)` gives the entry's member for a slot, or null when the
  // entry lacks it (or is no object); JSON null also binds NULL. Raises the
  // JSON library's type error for an "INTEGER" value that is not a number.
  template <typename ValueOf>
  void Bind(sqlite3_stmt* statement, int64_t interval_id, const ValueOf& value) const;

 private:
  enum class Conversion { kText, kInteger, kNull };
  struct Column {
    size_t slot;
    Conversion conversion;
    int32_t split;
  };

  void BindText(sqlite3_stmt* statement, int parameter, const nlohmann::json& value,
                int32_t split) const;

  std::vector<Column> columns;
  std::vector<std::string> slot_names;
  std::unordered_map<std::string, size_t> slot_index;
  mutable std::string text;  // reused for every text value that must be built
};

// Converts a timestamp or an "INTEGER" value to 64 bits: an integer as it is,
// an unsigned integer with the same bits, a float truncated toward zero (and
// held within the 64-bit range), a boolean as 0 or 1 when `accept_boolean`.
// Any other JSON type raises the library's type error.
int64_t toInt64(const nlohmann::json& value, bool accept_boolean);

template <typename ValueOf>
void tvsColumnPlan::Bind(sqlite3_stmt* statement, int64_t interval_id,
                         const ValueOf& value_of) const {
  sqlite3_bind_int64(statement, 1, interval_id);
  int parameter = 2;
  for (const Column& column : columns) {
    const int p = parameter++;
    const nlohmann::json* value = value_of(column.slot);
    if (value == nullptr || value->is_null() || column.conversion == Conversion::kNull) {
      sqlite3_bind_null(statement, p);
    } else if (column.conversion == Conversion::kText) {
      BindText(statement, p, *value, column.split);
    } else {
      sqlite3_bind_int64(statement, p, toInt64(*value, false));
    }
  }
}
