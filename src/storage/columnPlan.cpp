#include "columnPlan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "channel/insertSql.h"
#include "tvException.h"

using json = nlohmann::json;

namespace {

[[noreturn]] void raiseNotNumber(const char* type_name) {
  throw json::type_error::create(302, std::string("type must be number, but is ") + type_name,
                                 nullptr);
}

int64_t heldInRange(double value) {
  // Casting a double outside the 64-bit range is undefined; hold it at the ends.
  const double number = std::trunc(value);
  if (number >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (number <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(number);
}

// The same conversion for a value of the JSON library.
int64_t jsonToInt64(const json& value, bool accept_boolean) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_unsigned:
      return static_cast<int64_t>(value.get<uint64_t>());
    case json::value_t::number_float:
      return heldInRange(value.get<double>());
    case json::value_t::boolean:
      if (accept_boolean) return value.get<bool>() ? 1 : 0;
      raiseNotNumber(value.type_name());
    default:
      raiseNotNumber(value.type_name());
  }
}

int32_t readSplit(const json& column) {
  const auto split = column.find("split");
  if (split == column.end()) return -1;
  if (split->is_boolean()) return split->get<bool>() ? 1 : 0;
  const int64_t index = jsonToInt64(*split, false);
  if (index < 0) return -1;
  return index > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                     : static_cast<int32_t>(index);
}

// The piece of `text` with the zero-based index `split` when the text is cut
// at every '.'; empty when there are fewer pieces.
std::string_view splitPiece(std::string_view text, int32_t split) {
  if (split < 0) return text;
  size_t start = 0;
  for (int32_t piece = 0; piece < split; ++piece) {
    const size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) return std::string_view();
    start = dot + 1;
  }
  const size_t end = text.find('.', start);
  return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// The TEXT rule for a value of the JSON library: a string as it is, an array
// joined by blanks, anything else as compact JSON.
void jsonText(const json& value, std::string& text) {
  text.clear();
  if (value.is_array()) {
    bool first = true;
    for (const json& element : value) {
      if (!first) text += ' ';
      first = false;
      if (element.is_string()) {
        text += element.get_ref<const std::string&>();
      } else {
        text += element.dump();
      }
    }
  } else {
    text = value.dump();
  }
}

}  // namespace

const char* tvsValue::TypeName() const {
  switch (kind) {
    case Kind::kBoolean:
      return "boolean";
    case Kind::kInteger:
    case Kind::kUnsigned:
    case Kind::kFloat:
      return "number";
    case Kind::kString:
      return "string";
    case Kind::kJson:
      return document->type_name();
    default:
      return "null";
  }
}

int64_t toInt64(const tvsValue& value, bool accept_boolean) {
  switch (value.kind) {
    case tvsValue::Kind::kInteger:
      return value.integer;
    case tvsValue::Kind::kUnsigned:
      return static_cast<int64_t>(value.number);
    case tvsValue::Kind::kFloat:
      return heldInRange(value.real);
    case tvsValue::Kind::kBoolean:
      if (accept_boolean) return value.boolean ? 1 : 0;
      raiseNotNumber(value.TypeName());
    case tvsValue::Kind::kJson:
      return jsonToInt64(*value.document, accept_boolean);
    default:
      raiseNotNumber(value.TypeName());
  }
}

tvsColumnPlan::tvsColumnPlan(const json& table) {
  bool first = true;
  std::unordered_map<std::string, uint16_t> known;
  for (const json& column : table.at("columns")) {
    if (!isInsertedColumn(column)) continue;
    // The first listed column is interval_id, bound from the interval row.
    if (first) {
      first = false;
      continue;
    }
    const std::string column_name = column.value("name", std::string());
    const std::string type = column.value("type", std::string());
    std::string mapped = column.value("mapped", column_name);
    // Read for every column, so a malformed "split" is reported whatever the type.
    const int32_t split = readSplit(column);
    Column plan{0, Conversion::kNull, -1};
    if (type == "TEXT") {
      plan.conversion = Conversion::kText;
      plan.split = split;
    } else if (type == "INTEGER") {
      plan.conversion = Conversion::kInteger;
    }
    const auto slot = known.find(mapped);
    if (slot != known.end()) {
      plan.slot = slot->second;
    } else {
      // SQLite allows far fewer columns than this; a table with more never
      // gets this far.
      if (slot_names.size() > std::numeric_limits<uint16_t>::max()) {
        throw tvException("table has too many columns");
      }
      plan.slot = static_cast<uint16_t>(slot_names.size());
      known.emplace(mapped, plan.slot);
      slot_names.push_back(std::move(mapped));
    }
    columns.push_back(plan);
    column_names.push_back(column_name);
  }
  for (size_t slot = 0; slot < slot_names.size(); ++slot) {
    slot_index.emplace(slot_names[slot], static_cast<uint16_t>(slot));
  }
}

int tvsColumnPlan::ColumnOf(const std::string& name) const {
  const auto it = std::find(column_names.begin(), column_names.end(), name);
  return it == column_names.end() ? -1 : static_cast<int>(it - column_names.begin());
}

tvsStoredValue tvsColumnPlan::Stored(size_t index, const tvsValue* const* member) const {
  const Column& column = columns[index];
  const tvsValue* value = member[column.slot];
  if (value == nullptr || value->kind == tvsValue::Kind::kNull ||
      (value->kind == tvsValue::Kind::kJson && value->document->is_null()) ||
      column.conversion == Conversion::kNull) {
    return tvsStoredValue();
  }
  if (column.conversion == Conversion::kText) return Text(*value, column.split);
  tvsStoredValue stored;
  stored.kind = tvsStoredValue::Kind::kInteger;
  stored.integer = toInt64(*value, false);
  return stored;
}

void tvsColumnPlan::Bind(sqlite3_stmt* statement, int first, int64_t interval_id,
                         const tvsValue* const* member) const {
  sqlite3_bind_int64(statement, first, interval_id);
  for (size_t index = 0; index < columns.size(); ++index) {
    const int parameter = first + 1 + static_cast<int>(index);
    const tvsStoredValue value = Stored(index, member);
    switch (value.kind) {
      case tvsStoredValue::Kind::kNull:
        sqlite3_bind_null(statement, parameter);
        break;
      case tvsStoredValue::Kind::kInteger:
        sqlite3_bind_int64(statement, parameter, value.integer);
        break;
      case tvsStoredValue::Kind::kText:
        // Text of the payload outlives the step and is bound in place; text
        // built here is copied by SQLite, since the next column reuses the
        // buffer. The whole byte length, so an embedded zero byte does not
        // cut the text; a null pointer would bind NULL, so the empty text
        // gets a real one.
        sqlite3_bind_text64(statement, parameter, value.text.empty() ? "" : value.text.data(),
                            value.text.size(), value.built ? SQLITE_TRANSIENT : SQLITE_STATIC,
                            SQLITE_UTF8);
        break;
    }
  }
}

tvsStoredValue tvsColumnPlan::Text(const tvsValue& value, int32_t split) const {
  std::string_view whole;
  bool in_place = true;
  switch (value.kind) {
    case tvsValue::Kind::kString:
      whole = value.Text();
      break;
    case tvsValue::Kind::kBoolean:
      whole = value.boolean ? "true" : "false";
      break;
    case tvsValue::Kind::kInteger:
    case tvsValue::Kind::kUnsigned: {
      char digits[24];
      const auto end = value.kind == tvsValue::Kind::kInteger
                           ? std::to_chars(digits, digits + sizeof digits, value.integer).ptr
                           : std::to_chars(digits, digits + sizeof digits, value.number).ptr;
      text.assign(digits, end);
      whole = text;
      in_place = false;
      break;
    }
    case tvsValue::Kind::kFloat:
      // The JSON library's own printing of the number, as its document would give.
      text = json(value.real).dump();
      whole = text;
      in_place = false;
      break;
    default:
      if (value.document->is_string()) {
        whole = value.document->get_ref<const std::string&>();
      } else {
        jsonText(*value.document, text);
        whole = text;
        in_place = false;
      }
      break;
  }
  tvsStoredValue stored;
  stored.kind = tvsStoredValue::Kind::kText;
  stored.built = !in_place;
  stored.text = splitPiece(whole, split);
  return stored;
}
