#include "rollupSpec.h"

#include <algorithm>
#include <limits>
#include <set>

#include "insertSql.h"
#include "tvException.h"

using json = nlohmann::json;

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Ten years of buckets, or of keeping them: beyond that the arithmetic on
// timestamps would near the 64-bit range for no use.
constexpr int64_t kMaxSeconds = 3660 * kSecondsPerDay;
constexpr int64_t kMaxKeepDays = 1000000;

struct Reader {
  const std::string& channel;
  std::string rollup;  // how the errors name it

  [[noreturn]] void Refuse(const std::string& why) const {
    throw tvException("%s: rollup %s: %s", channel.c_str(), rollup.c_str(), why.c_str());
  }

  int64_t Integer(const json& definition, const char* key, int64_t low, int64_t high,
                  int64_t fallback, const char* what) const {
    const auto it = definition.find(key);
    if (it == definition.end()) {
      if (fallback < 0) Refuse(std::string("no \"") + key + "\"");
      return fallback;
    }
    if (!it->is_number_integer()) Refuse(std::string("\"") + key + "\" must be " + what);
    const bool in_range = it->is_number_unsigned()
                              ? it->get<uint64_t>() <= static_cast<uint64_t>(high) &&
                                    it->get<uint64_t>() >= static_cast<uint64_t>(low)
                              : it->get<int64_t>() >= low && it->get<int64_t>() <= high;
    if (!in_range) Refuse(std::string("\"") + key + "\" must be " + what);
    return it->get<int64_t>();
  }

  std::vector<std::string> Names(const json& definition, const char* key) const {
    std::vector<std::string> names;
    const auto it = definition.find(key);
    if (it == definition.end()) return names;
    if (!it->is_array()) Refuse(std::string("\"") + key + "\" must be an array of column names");
    for (const json& name : *it) {
      if (!name.is_string() || name.get_ref<const std::string&>().empty()) {
        Refuse(std::string("\"") + key + "\" must be an array of column names");
      }
      names.push_back(name.get<std::string>());
    }
    return names;
  }
};

// The columns a rollup may name: those that take an entry's value.
const json* entryColumn(const json& first_table, const std::string& name) {
  const auto columns = first_table.find("columns");
  if (columns == first_table.end() || !columns->is_array()) return nullptr;
  for (const json& column : *columns) {
    if (!isInsertedColumn(column) || column["name"].get<std::string>() != name) continue;
    return name == "interval_id" ? nullptr : &column;
  }
  return nullptr;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
  return text;
}

// The lowest bucket start the 64-bit range holds for `seconds`.
int64_t lowestBucket(int64_t seconds) {
  return -(std::numeric_limits<int64_t>::max() / seconds) * seconds;
}

// "c = c + excluded.c, ..." over the columns a payload adds to.
std::string addedUpdates(const tvsRollup& rollup) {
  std::vector<std::string> updates;
  for (const std::string& column : rollup.Added()) {
    updates.push_back(column + " = " + column + " + excluded." + column);
  }
  return joined(updates, ", ");
}

}  // namespace

int64_t tvsRollup::Bucket(int64_t time_start) const {
  const int64_t lowest = lowestBucket(seconds);
  if (time_start < lowest) return lowest;
  return time_start - ((time_start % seconds) + seconds) % seconds;
}

void tvsRollupSum::Add(int64_t value) {
  if (is_real) {
    real += static_cast<double>(value);
    return;
  }
  const int64_t before = integer;
  if (__builtin_add_overflow(before, value, &integer)) {
    is_real = true;
    real = static_cast<double>(before) + static_cast<double>(value);
  }
}

void tvsRollupSum::AddReal(double value) {
  if (!is_real) real = static_cast<double>(integer);
  is_real = true;
  real += value;
}

std::string tvsSqlNameKey(const std::string& name) {
  std::string key = name;
  const bool quoted = key.size() >= 2 && ((key.front() == '"' && key.back() == '"') ||
                                          (key.front() == '`' && key.back() == '`') ||
                                          (key.front() == '[' && key.back() == ']'));
  if (quoted) {
    const char quote = key.front();
    key = key.substr(1, key.size() - 2);
    if (quote != '[') {
      const std::string doubled(2, quote);
      for (size_t at = key.find(doubled); at != std::string::npos; at = key.find(doubled, at + 1)) {
        key.erase(at, 1);
      }
    }
  }
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

std::string tvsRollup::Key() const { return tvsSqlNameKey(table); }

std::vector<std::string> tvsRollup::Added() const {
  std::vector<std::string> added = sum;
  if (!count.empty()) added.push_back(count);
  return added;
}

std::string tvsRollup::KeyColumns() const {
  std::string key = kBucketColumn;
  for (const Column& column : group_by) key += ", coalesce(" + column.name + ", x'')";
  return key;
}

std::string tvsRollup::WidthCheck() const {
  return std::string("CHECK (") + kBucketColumn + " % " + std::to_string(seconds) + " = 0)";
}

std::string tvsRollup::CreateTableSql() const {
  std::string sql =
      "CREATE TABLE IF NOT EXISTS " + table + " (\n    " + kBucketColumn + " INTEGER NOT NULL";
  for (const Column& column : group_by) sql += ",\n    " + column.name + " " + column.type;
  for (const std::string& column : sum) sql += ",\n    " + column + " INTEGER NOT NULL DEFAULT 0";
  if (!count.empty()) sql += ",\n    " + count + " INTEGER NOT NULL DEFAULT 0";
  return sql + ",\n    " + WidthCheck() + "\n);";
}

std::string tvsRollup::CreateKeySql(const std::string& index, const std::string& on) const {
  return "CREATE UNIQUE INDEX IF NOT EXISTS " + index + " ON " + on + " (" + KeyColumns() + ");";
}

std::string tvsRollup::UpsertSql() const {
  std::vector<std::string> columns{kBucketColumn};
  for (const Column& column : group_by) columns.push_back(column.name);
  const std::vector<std::string> added = Added();
  columns.insert(columns.end(), added.begin(), added.end());
  return "INSERT INTO " + table + " (" + joined(columns, ", ") + ") VALUES (" +
         joined(std::vector<std::string>(columns.size(), "?"), ", ") + ") ON CONFLICT (" +
         KeyColumns() + ") DO UPDATE SET " + addedUpdates(*this);
}

std::string tvsRollup::FillSql(const std::string& entries, const std::string& intervals,
                               int64_t mark) const {
  const std::string width = std::to_string(seconds);
  const std::string lowest = std::to_string(lowestBucket(seconds));
  std::vector<std::string> columns{kBucketColumn};
  // As Bucket() has it, the lowest start held.
  std::vector<std::string> values{"CASE WHEN i.time_start < " + lowest + " THEN " + lowest +
                                  " ELSE i.time_start - ((i.time_start % " + width + ") + " +
                                  width + ") % " + width + " END"};
  std::vector<std::string> positions{"1"};
  for (const Column& column : group_by) {
    columns.push_back(column.name);
    values.push_back("e." + column.name);
    positions.push_back(std::to_string(values.size()));
  }
  for (const std::string& column : sum) {
    columns.push_back(column);
    values.push_back(std::string(kRollupSumFunction) + "(e." + column + ")");
  }
  if (!count.empty()) {
    columns.push_back(count);
    values.push_back("count(*)");
  }
  return "INSERT INTO " + table + " (" + joined(columns, ", ") + ") SELECT " +
         joined(values, ", ") + " FROM " + entries + " AS e JOIN " + intervals +
         " AS i ON e.interval_id = i.id WHERE e.interval_id > " + std::to_string(mark) +
         " GROUP BY " + joined(positions, ", ") + " ON CONFLICT (" + KeyColumns() +
         ") DO UPDATE SET " + addedUpdates(*this) + ";";
}

std::vector<tvsRollup> readRollups(const std::string& channel, const json& rollups,
                                   const json& tables_configured, const std::string& intervals) {
  std::vector<tvsRollup> read;
  if (rollups.is_null()) return read;
  Reader reader{channel, "#1"};
  if (!rollups.is_array()) reader.Refuse("\"rollups\" must be an array of rollup definitions");
  if (!tables_configured.is_array() || tables_configured.empty() ||
      !tables_configured[0].is_object()) {
    reader.Refuse("a rollup sums the channel's first table, and there is none");
  }
  const json& first_table = tables_configured[0];
  // A rollup never writes into a table the channel keeps rows in. Names
  // are compared as SQLite compares them.
  std::set<std::string> tables{tvsSqlNameKey(intervals),
                               tvsSqlNameKey(tvsRollupMarksTable(channel))};
  for (const json& table : tables_configured) {
    if (table.is_object() && table.contains("name") && table["name"].is_string()) {
      tables.insert(tvsSqlNameKey(table["name"].get<std::string>()));
    }
  }
  for (size_t i = 0; i < rollups.size(); ++i) {
    const json& definition = rollups[i];
    reader.rollup = "#" + std::to_string(i + 1);
    if (!definition.is_object()) reader.Refuse("a rollup is an object");
    const auto table = definition.find("table");
    if (table == definition.end() || !table->is_string() ||
        table->get_ref<const std::string&>().empty()) {
      reader.Refuse("no \"table\"");
    }
    tvsRollup rollup;
    rollup.table = table->get<std::string>();
    reader.rollup = rollup.table;
    if (rollup.table.find('\0') != std::string::npos)
      reader.Refuse("the table name holds a zero byte");
    if (!tables.insert(rollup.Key()).second) reader.Refuse("the table is taken by another");

    rollup.seconds = reader.Integer(definition, "seconds", 1, kMaxSeconds, -1,
                                    "a divisor of 86400 or a multiple of it");
    if (kSecondsPerDay % rollup.seconds != 0 && rollup.seconds % kSecondsPerDay != 0) {
      reader.Refuse("\"seconds\" must be a divisor of 86400 or a multiple of it, not " +
                    std::to_string(rollup.seconds));
    }
    rollup.keep_days =
        reader.Integer(definition, "keep_days", 1, kMaxKeepDays, 0, "a positive number of days");
    // Shorter, the purge would take the bucket still being summed.
    if (rollup.keep_days > 0 && rollup.keep_days * kSecondsPerDay < rollup.seconds) {
      reader.Refuse("\"keep_days\" must keep at least one bucket of " +
                    std::to_string(rollup.seconds) + " seconds");
    }

    std::set<std::string> named{kBucketColumn};
    const auto take = [&](const std::string& name, const char* role) -> const json& {
      if (tvsSqlNameKey(name) == kBucketColumn) reader.Refuse("column bucket is the rollup's own");
      const json* column = entryColumn(first_table, name);
      if (column == nullptr) {
        reader.Refuse(std::string(role) + " column " + name + " is no entry column of table " +
                      first_table.value("name", std::string()));
      }
      if (!named.insert(tvsSqlNameKey(name)).second) {
        reader.Refuse("column " + name + " is named twice");
      }
      return *column;
    };
    for (const std::string& name : reader.Names(definition, "group_by")) {
      const json& column = take(name, "group_by");
      rollup.group_by.push_back({name, column.value("type", std::string())});
    }
    for (const std::string& name : reader.Names(definition, "sum")) {
      if (take(name, "sum").value("type", std::string()) != "INTEGER") {
        reader.Refuse("sum column " + name + " is not INTEGER");
      }
      rollup.sum.push_back(name);
    }
    const auto count = definition.find("count");
    if (count != definition.end()) {
      if (!count->is_string() || count->get_ref<const std::string&>().empty()) {
        reader.Refuse("\"count\" must name the column of the row count");
      }
      rollup.count = count->get<std::string>();
      if (tvsSqlNameKey(rollup.count) == kBucketColumn) {
        reader.Refuse("column bucket is the rollup's own");
      }
      if (!named.insert(tvsSqlNameKey(rollup.count)).second) {
        reader.Refuse("count column " + rollup.count + " is named twice");
      }
    }
    if (rollup.sum.empty() && rollup.count.empty()) reader.Refuse("nothing to sum or count");
    read.push_back(std::move(rollup));
  }
  return read;
}
