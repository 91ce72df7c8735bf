#include "entryBinder.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "insertSql.h"

using json = nlohmann::json;

namespace {

[[noreturn]] void raiseNotNumber(const json& value) {
  throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(),
                                 &value);
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

tvsEntryBinder::tvsEntryBinder(const json& table) {
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
    Column plan{column.value("mapped", column_name), Conversion::kNull, -1};
    if (type == "TEXT") {
      plan.conversion = Conversion::kText;
      plan.split = readSplit(column);
    } else if (type == "INTEGER") {
      plan.conversion = Conversion::kInteger;
    }
    columns.push_back(std::move(plan));
  }
}

void tvsEntryBinder::Bind(sqlite3_stmt* statement, int64_t interval_id, const json& entry) {
  sqlite3_bind_int64(statement, 1, interval_id);
  const bool is_object = entry.is_object();
  int parameter = 2;
  for (const Column& column : columns) {
    const int p = parameter++;
    const auto value = is_object ? entry.find(column.mapped) : entry.end();
    if (value == entry.end() || value->is_null()) {
      sqlite3_bind_null(statement, p);
      continue;
    }
    switch (column.conversion) {
      case Conversion::kText:
        BindText(statement, p, *value, column.split);
        break;
      case Conversion::kInteger:
        sqlite3_bind_int64(statement, p, toInt64(*value, false));
        break;
      case Conversion::kNull:
        sqlite3_bind_null(statement, p);
        break;
    }
  }
}

void tvsEntryBinder::BindText(sqlite3_stmt* statement, int parameter, const json& value,
                              int32_t split) {
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
  // The whole byte length: a value with an embedded zero byte is not cut short.
  // A null pointer would bind NULL; the empty text stays text.
  sqlite3_bind_text64(statement, parameter, piece.empty() ? "" : piece.data(), piece.size(),
                      SQLITE_TRANSIENT, SQLITE_UTF8);
}
