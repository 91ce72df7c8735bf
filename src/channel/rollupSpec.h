// Rollups: coarser summaries of a channel's first table, kept longer than its
// rows. Each is a table of one row per time bucket and group, with the sums
// of some INTEGER columns and a row count, written in the transaction of the
// rows it sums. This file reads their definitions and builds their SQL text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The keys of a rollup definition.
inline constexpr char kRollupsKey[] = "rollups";
inline constexpr const char* kRollupKeys[] = {"table",    "seconds", "keep_days",
                                              "group_by", "sum",     "count"};

// The column that holds a bucket's start, and the constraint naming its width
// in the table's text: how a later start tells the width it was made with.
inline constexpr char kBucketColumn[] = "bucket";

struct tvsRollup {
  // Names are SQL text, as table and column names in "tables" are.
  std::string table;
  // The bucket width: a divisor of a day, or a multiple of one.
  int64_t seconds = 0;
  // Rows whose bucket started more than keep_days ago go with the daily
  // purge; 0 keeps them for ever.
  int64_t keep_days = 0;
  struct Column {
    std::string name;
    std::string type;  // as the first table declares it
  };
  std::vector<Column> group_by;
  std::vector<std::string> sum;  // INTEGER columns of the first table
  std::string count;             // the row-count column; empty for none

  // The columns a payload adds to: the sums, then the count.
  std::vector<std::string> Added() const;
  // The bucket `time_start` falls in: rounded down to a multiple of seconds
  // (held at the lowest multiple the 64-bit range has).
  int64_t Bucket(int64_t time_start) const;
  // The table's name as SQLite compares it: unquoted, in lower case.
  std::string Key() const;
  // The unique key of a bucket and group: NULL group values form one group,
  // which SQLite's UNIQUE would not give a plain column.
  std::string KeyColumns() const;
  // The constraint that records the bucket width in the table's text.
  std::string WidthCheck() const;

  // CREATE TABLE, and its unique key `index` on the table as SQLite
  // resolved it (`on`: CREATE INDEX takes no schema there).
  std::string CreateTableSql() const;
  std::string CreateKeySql(const std::string& index, const std::string& on) const;
  // Adds one payload's sums for a bucket and group: parameters are the
  // bucket, the group values, the sums, then the count.
  std::string UpsertSql() const;
  // Adds the sums of the rows `entries` and `intervals` hold for intervals
  // after `mark` (the last one summed) to the table.
  std::string FillSql(const std::string& entries, const std::string& intervals, int64_t mark) const;
};

// A name of SQL text as SQLite compares it: without its quotes ("", [] or
// ``), in lower case.
std::string tvsSqlNameKey(const std::string& name);

// The table of a channel that keeps, per rollup, the last interval whose
// rows its sums hold: the rows after it are added when the rollup is set up
// again, whatever came between.
inline std::string tvsRollupMarksTable(const std::string& channel) {
  return channel + "_rollup_marks";
}

// A rollup's sum as SQLite's + keeps one: an integer until it passes the
// 64-bit range, a real number from then on. All zero is the empty sum, so
// zeroed memory (SQLite's aggregate context) holds one.
struct tvsRollupSum {
  int64_t integer;
  double real;
  bool is_real;
  void Add(int64_t value);
  void AddReal(double value);
};

// Reads and checks the "rollups" array of `channel` against its `tables`
// (with their default columns; a rollup sums the first) and its `intervals`
// table. Throws tvException "<channel>: rollup <table>: <why>" for a
// definition it cannot take.
std::vector<tvsRollup> readRollups(const std::string& channel, const nlohmann::json& rollups,
                                   const nlohmann::json& tables, const std::string& intervals);

// The aggregate that sums a rollup's column: SQLite's sum(), but one that
// passes the 64-bit range goes on as a real number, as SQLite's + does,
// rather than failing.
inline constexpr char kRollupSumFunction[] = "tvs_rollup_sum";
