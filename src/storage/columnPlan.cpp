#include "columnPlan.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "insertSql.h"

using json = nlohmann::json;

namespace {

[[noreturn]] void raiseNotNumber(const json& value) {
  throw json::type_error::create(
      302, std::string("type must be number, but is ") + value.type_name(), &value);
}

int32_t readSplit(const json& column) {
  const auto split = column.find("split");
  if (split == column.end()) return -1;
  if (split->is_boolean()) return split->get<bool>() ? 1 : 0;
  const int64_t index = toInt64(*split, false);
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

}  // namespace

int64_t toInt64(const json& value, bool accept_boolean) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_unsigned:
      return static_cast<int64_t>(value.get<uint64_t>());
    case json::value_t::number_float: {
      // Casting a double outside the 64-bit range is undefined; hold it at the ends.
      const double number = std::trunc(value.get<double>());
      if (number >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
      if (number <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
      return static_cast<int64_t>(number);
    }
    case json::value_t::boolean:
      if (accept_boolean) return value.get<bool>() ? 1 : 0;
      raiseNotNumber(value);
    default:
      raiseNotNumber(value);
  }
}

tvsColumnPlan::tvsColumnPlan(const json& table) {
  bool first = true;
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
    const auto known = slot_index.find(mapped);
    if (known != slot_index.end()) {
      plan.slot = known->second;
    } else {
      plan.slot = slot_names.size();
      slot_index.emplace(mapped, plan.slot);
      slot_names.push_back(std::move(mapped));
    }
    columns.push_back(plan);
  }
}

void tvsColumnPlan::BindText(sqlite3_stmt* statement, int parameter, const json& value,
                             int32_t split) const {
  std::string_view whole;
  if (value.is_string()) {
    whole = value.get_ref<const std::string&>();
  } else {
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
    whole = text;
  }
  const std::string_view piece = splitPiece(whole, split);
  // The whole byte length, so an embedded zero byte does not cut the text;
  // a null pointer would bind NULL, so the empty text gets a real one.
  sqlite3_bind_text64(statement, parameter, piece.empty() ? "" : piece.data(), piece.size(),
                      SQLITE_TRANSIENT, SQLITE_UTF8);
}
