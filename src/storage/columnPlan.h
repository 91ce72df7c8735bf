// How the entry values of a payload reach the entry statement: the column
// schemas of the channel's first table, read once when its database is set up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "aggregatePayload.h"
#include "sqliteHandles.h"

// A value as a column stores it, once converted: NULL, an integer or text.
// Text built by the conversion lives in the plan until its next conversion.
struct tvsStoredValue {
  enum class Kind : uint8_t { kNull, kInteger, kText };
  Kind kind = Kind::kNull;
  bool built = false;  // the text is the plan's, not the payload's
  int64_t integer = 0;
  std::string_view text;
};

class tvsColumnPlan {
 public:
  // A plan without columns, for a table whose schemas could not be read.
  tvsColumnPlan() = default;
  // Reads the column schemas of `table`. The columns that the INSERT lists
  // (isInsertedColumn) are walked in statement order: the first takes the
  // interval id, every further one the entry member of its mapped name. The
  // JSON library raises its type error for a non-string "name", "mapped" or
  // "type", or a "split" that is neither a number nor a boolean.
  explicit tvsColumnPlan(const nlohmann::json& table);
  tvsColumnPlan(const tvsColumnPlan&) = delete;
  tvsColumnPlan& operator=(const tvsColumnPlan&) = delete;

  // The distinct mapped names; an entry's members are looked up by slot.
  size_t Slots() const { return slot_names.size(); }
  const std::string& SlotName(size_t slot) const { return slot_names[slot]; }
  // The slot of a mapped name, or -1 when no column maps it.
  int SlotOf(std::string_view member) const {
    const auto it = slot_index.find(member);
    return it == slot_index.end() ? -1 : static_cast<int>(it->second);
  }

  // The parameters of one row: the interval id and every entry column.
  size_t Parameters() const { return columns.size() + 1; }
  // Binds `interval_id` to parameter `first` and one entry's values from
  // the next on (a row of a grouped statement starts where the one before
  // it ends); `member[slot]` is the entry's value for a slot, or null when the
  // entry lacks it. Every parameter is bound, so nothing of an earlier entry
  // survives. Text that outlives the step is bound without a copy. Raises the
  // JSON library's type error for an "INTEGER" value that is not a number.
  void Bind(sqlite3_stmt* statement, int first, int64_t interval_id,
            const tvsValue* const* member) const;

  // The entry columns, in statement order (interval_id is not one): the
  // configured name of each, and the index of a name (-1 for none).
  size_t Columns() const { return columns.size(); }
  int ColumnOf(const std::string& name) const;
  // What column `column` stores of an entry whose values are `member`, as
  // Bind converts it.
  tvsStoredValue Stored(size_t column, const tvsValue* const* member) const;

 private:
  enum class Conversion : uint8_t { kText, kInteger, kNull };
  struct Column {
    uint16_t slot;
    Conversion conversion;
    int32_t split;
  };

  // The TEXT rule: the piece `split` of the value's text.
  tvsStoredValue Text(const tvsValue& value, int32_t split) const;

  std::vector<Column> columns;
  std::vector<std::string> column_names;
  std::vector<std::string> slot_names;
  // Views of slot_names, which never change once the plan is built.
  std::unordered_map<std::string_view, uint16_t> slot_index;
  mutable std::string text;  // reused for every text value that must be built
};

// Converts a timestamp or an "INTEGER" value to 64 bits: an integer as it is,
// an unsigned integer with the same bits, a float truncated toward zero (and
// held within the 64-bit range), a boolean as 0 or 1 when `accept_boolean`.
// Any other type raises the JSON library's type error.
int64_t toInt64(const tvsValue& value, bool accept_boolean);
