// Binds the values of one "stats" entry to the entry statement, following the
// column schemas of the channel's first table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sqliteHandles.h"

class tvsEntryBinder {
 public:
  // Reads the column schemas once. The columns that the INSERT lists are
  // walked in the same order as the statement text: the first one takes the
  // interval id, every further one the entry member of its mapped name. The
  // JSON library raises its type error for a non-string "mapped" or "type",
  // or a "split" that is not a number or boolean.
  explicit tvsEntryBinder(const nlohmann::json& table);

  // Binds `interval_id` to parameter 1 and the values of `entry` from
  // parameter 2 on; the statement must be reset and cleared. Raises the JSON
  // library's type error for an "INTEGER" value that is not a number.
  void Bind(sqlite3_stmt* statement, int64_t interval_id, const nlohmann::json& entry);

 private:
  enum class Conversion { kText, kInteger, kNull };
  struct Column {
    std::string mapped;
    Conversion conversion;
    int32_t split;
  };

  void BindText(sqlite3_stmt* statement, int parameter, const nlohmann::json& value, int32_t split);

  std::vector<Column> columns;
  std::string text;  // reused for every text value that must be built
};

// Converts a timestamp or an "INTEGER" value to 64 bits: an integer as it is,
// an unsigned integer with the same bits, a float truncated toward zero (and
// held within the 64-bit range), a boolean as 0 or 1 when `accept_boolean`.
// Any other JSON type raises the library's type error.
int64_t toInt64(const nlohmann::json& value, bool accept_boolean);
