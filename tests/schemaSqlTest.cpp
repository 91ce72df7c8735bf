// CREATE TABLE and INSERT text generated from table schemas.
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "createTableSql.h"
#include "insertSql.h"
#include "testSupport.h"
#include "tvException.h"
#include "tvsChannelConfig.h"

using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

// Runs `sql` on a fresh in-memory database; returns SQLite's error or "".
std::string runInMemory(const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  char* error = nullptr;
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string text = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  return text;
}

// Generates with "Found table" output captured.
std::string generate(const json& tables, std::string* printed = nullptr) {
  testing::internal::CaptureStdout();
  std::string sql;
  try {
    sql = generateCreateTableSQL(tables);
  } catch (...) {
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    throw;
  }
  const std::string out = testing::internal::GetCapturedStdout();
  if (printed) *printed = out;
  return sql;
}

json completedTables(const std::string& columns) {
  tvsChannelConfig channel;
  channel.name = "flows";
  channel.data_source = "aggregator";
  channel.tables = json::parse(R"([{"name": "talkers", "columns": )" + columns + "}]");
  channel.AddDefaultColumns();
  return channel.tables;
}

const char kTalkersSql[] =
    "CREATE TABLE IF NOT EXISTS talkers (\n"
    "    id INTEGER PRIMARY KEY,\n"
    "    interval_id INTEGER NOT NULL,\n"
    "    ip TEXT,\n"
    "    FOREIGN KEY (interval_id) REFERENCES flows_intervals(id) ON DELETE CASCADE\n"
    ");";

}  // namespace

TEST(CreateTableSql, OneTextColumnTableIsByteExact) {
  std::string printed;
  const std::string sql =
      generate(completedTables(R"([{"name": "ip", "type": "TEXT"}])"), &printed);
  EXPECT_EQ(kTalkersSql, sql);
  EXPECT_EQ("Found table: talkers\n", printed);
  EXPECT_EQ("", runInMemory("CREATE TABLE flows_intervals (id INTEGER PRIMARY KEY);" + sql));
}

TEST(CreateTableSql, TwoTablesBackToBack) {
  std::string printed;
  const std::string sql = generate(json::parse(R"([
      {"name": "a", "columns": [{"name": "x", "type": "INTEGER"}]},
      {"name": "b", "columns": [{"name": "y", "type": "TEXT"}, {"name": "z", "type": "REAL"}]}])"),
                                   &printed);
  EXPECT_EQ(
      "CREATE TABLE IF NOT EXISTS a (\n    x INTEGER\n);"
      "CREATE TABLE IF NOT EXISTS b (\n    y TEXT,\n    z REAL\n);",
      sql);
  EXPECT_EQ("Found table: a\nFound table: b\n", printed);
  EXPECT_EQ("", runInMemory(sql));
}

TEST(CreateTableSql, DefaultRendersCompactJson) {
  struct Case {
    const char* value;
    const char* rendered;
    bool sqlite_accepts;
  };
  for (const Case& c :
       std::vector<Case>{{R"("abc")", R"("abc")", true},
                         {R"("a\"b\\c\n")", R"("a\"b\\c\n")", false},
                         {R"("é")", R"("é")", true},
                         {"0", "0", true},
                         {"-12", "-12", true},
                         {"18446744073709551615", "18446744073709551615", true},
                         {"2.5", "2.5", true},
                         {"1.0", "1.0", true},
                         {"false", "false", true},
                         {"true", "true", true},
                         {"null", "null", true},
                         {"[1, \"x\"]", "[1,\"x\"]", true},  // SQLite reads [..] as a quoted name
                         {R"({"b": 1, "a": [2]})", R"({"a":[2],"b":1})", false}}) {
    SCOPED_TRACE(c.value);
    const std::string sql = generate(json::parse(
        std::string(R"([{"name": "t", "columns": [{"name": "c", "type": "TEXT", "default": )") +
        c.value + "}]}]"));
    EXPECT_EQ(
        std::string("CREATE TABLE IF NOT EXISTS t (\n    c TEXT DEFAULT ") + c.rendered + "\n);",
        sql);
    EXPECT_EQ(c.sqlite_accepts, runInMemory(sql).empty()) << runInMemory(sql);
  }
}

TEST(CreateTableSql, FlagsInFixedOrder) {
  const std::string sql = generate(json::parse(R"([{"name": "t", "columns": [
      {"name": "a", "type": "INTEGER", "not_null": true, "autoincrement": true, "primary_key": true},
      {"name": "b", "type": "INTEGER", "not_null": true, "default": 5},
      {"name": "c", "type": "TEXT", "primary_key": false, "autoincrement": false, "not_null": false}]}])"));
  EXPECT_EQ(
      "CREATE TABLE IF NOT EXISTS t (\n"
      "    a INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,\n"
      "    b INTEGER NOT NULL DEFAULT 5,\n"
      "    c TEXT\n"
      ");",
      sql);
  EXPECT_EQ("", runInMemory(sql));
}

TEST(CreateTableSql, AutoincrementWithoutPrimaryKeyIsWrittenAndRefused) {
  const std::string sql = generate(json::parse(
      R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER", "autoincrement": true}]}])"));
  EXPECT_EQ("CREATE TABLE IF NOT EXISTS t (\n    a INTEGER AUTOINCREMENT\n);", sql);
  EXPECT_THAT(runInMemory(sql), HasSubstr("syntax error"));
}

TEST(CreateTableSql, ForeignKeysAfterColumnsWithAndWithoutOnDelete) {
  const std::string sql = generate(json::parse(R"([{"name": "t", "columns": [
      {"name": "a", "type": "INTEGER", "foreign_key": {"table": "p", "column": "id"}},
      {"name": "b", "type": "INTEGER"},
      {"name": "c", "type": "INTEGER", "foreign_key": {"table": "q", "column": "k", "on_delete": "SET NULL"}}]}])"));
  EXPECT_EQ(
      "CREATE TABLE IF NOT EXISTS t (\n"
      "    a INTEGER,\n"
      "    b INTEGER,\n"
      "    c INTEGER,\n"
      "    FOREIGN KEY (a) REFERENCES p(id),\n"
      "    FOREIGN KEY (c) REFERENCES q(k) ON DELETE SET NULL\n"
      ");",
      sql);
  EXPECT_EQ("", runInMemory(sql));
}

TEST(CreateTableSql, EmptyColumnsAndOddNamesAreWrittenUnchanged) {
  const std::string empty = generate(json::parse(R"([{"name": "t", "columns": []}])"));
  EXPECT_EQ("CREATE TABLE IF NOT EXISTS t (\n\n);", empty);
  EXPECT_THAT(runInMemory(empty), HasSubstr("syntax error"));
  EXPECT_EQ("CREATE TABLE IF NOT EXISTS my \"table\" (\n    a b TEXT\n);",
            generate(json::parse(
                R"([{"name": "my \"table\"", "columns": [{"name": "a b", "type": "TEXT"}]}])")));
}

TEST(CreateTableSql, ColumnsThatAreNotAnArrayIterateLikeTheLibrary) {
  // An object yields its member values in key order; null yields no columns.
  EXPECT_EQ(
      "CREATE TABLE IF NOT EXISTS t (\n    x TEXT,\n    y INTEGER\n);",
      generate(json::parse(R"([{"name": "t", "columns": {"2": {"name": "y", "type": "INTEGER"},
                                                                 "1": {"name": "x", "type": "TEXT"}}}])")));
  EXPECT_EQ("CREATE TABLE IF NOT EXISTS t (\n\n);",
            generate(json::parse(R"([{"name": "t", "columns": null}])")));
  EXPECT_THROW(generate(json::parse(R"([{"name": "t", "columns": 5}])")), json::type_error);
}

TEST(CreateTableSql, NoTablesDefined) {
  for (const char* tables : {"null", "[]", "{}", "\"t\""}) {
    SCOPED_TRACE(tables);
    std::string printed = "unset";
    EXPECT_THAT([&] { generate(json::parse(tables), &printed); },
                ThrowsMessage<tvException>(StrEq("Configuration error - no tables defined")));
    EXPECT_EQ("", printed);
  }
}

TEST(CreateTableSql, LibraryTypeErrorsPassThrough) {
  struct Case {
    const char* tables;
    const char* message;
  };
  for (
      const Case& c : std::vector<Case>{
          {R"([{"name": "a", "columns": []}, "t"])",
           "[json.exception.type_error.305] cannot use operator[] with a string argument with string"},
          {R"([{"name": 5, "columns": []}])",
           "[json.exception.type_error.302] type must be string, but is number"},
          {R"([{"name": "t", "columns": [{"name": "a", "type": 1}]}])",
           "[json.exception.type_error.302] type must be string, but is number"},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER", "primary_key": 1}]}])",
           "[json.exception.type_error.302] type must be boolean, but is number"},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER", "not_null": "true"}]}])",
           "[json.exception.type_error.302] type must be boolean, but is string"},
          {R"([{"name": "t", "columns": [7]}])",
           "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER", "foreign_key": 1}]}])",
           "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER",
                "foreign_key": {"table": "p", "column": "id", "on_delete": 3}}]}])",
           "[json.exception.type_error.302] type must be string, but is number"}}) {
    SCOPED_TRACE(c.tables);
    EXPECT_THAT([&] { generate(json::parse(c.tables)); },
                ThrowsMessage<json::type_error>(StrEq(c.message)));
  }
}

TEST(CreateTableSql, MissingKeysRaiseConfigurationErrors) {
  struct Case {
    const char* tables;
    const char* message;
  };
  for (
      const Case& c : std::vector<Case>{
          {R"([{"columns": []}])", "Configuration error - table #0 has no \"name\""},
          {R"([{"name": "a", "columns": []}, {"name": "t"}])",
           "Configuration error - table t has no \"columns\""},
          {R"([{"name": "t", "columns": [{"type": "TEXT"}]}])",
           "Configuration error - table t, column #0 has no \"name\""},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "TEXT"}, {"name": "b"}]}])",
           "Configuration error - table t, column b has no \"type\""},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER", "foreign_key": {"column": "id"}}]}])",
           "Configuration error - table t, column a, foreign key has no \"table\""},
          {R"([{"name": "t", "columns": [{"name": "a", "type": "INTEGER", "foreign_key": {"table": "p"}}]}])",
           "Configuration error - table t, column a, foreign key has no \"column\""}}) {
    SCOPED_TRACE(c.tables);
    EXPECT_THAT([&] { generate(json::parse(c.tables)); },
                ThrowsMessage<tvException>(StrEq(c.message)));
  }
}

TEST(InsertSql, ListsIntervalIdThenConfiguredColumns) {
  const json tables =
      completedTables(R"([{"name": "ip", "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}])");
  const std::string sql = generateInsertSQL(tables[0]);
  EXPECT_EQ("INSERT INTO talkers (interval_id, ip, bytes) VALUES (?, ?, ?)", sql);
  EXPECT_EQ(sql, generateGroupedInsertSQL(tables[0], 1));
  EXPECT_EQ("INSERT INTO talkers (interval_id, ip, bytes) VALUES (?, ?, ?), (?, ?, ?), (?, ?, ?)",
            generateGroupedInsertSQL(tables[0], 3));
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  ASSERT_EQ(
      SQLITE_OK,
      sqlite3_exec(
          db, ("CREATE TABLE flows_intervals (id INTEGER PRIMARY KEY);" + generate(tables)).c_str(),
          nullptr, nullptr, nullptr));
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr));
  EXPECT_EQ(3, sqlite3_bind_parameter_count(statement));
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

TEST(InsertSql, ColumnsLeftOutKeepSeparatorsRight) {
  EXPECT_EQ("INSERT INTO t (a, ID, b) VALUES (?, ?, ?)",
            generateInsertSQL(json::parse(R"({"name": "t", "columns": [
                "text", {"name": "id", "type": "INTEGER"}, 5, {"name": "a"},
                {"name": "seq", "autoincrement": true}, {"type": "TEXT"}, {"name": "ID"},
                {"name": "b", "autoincrement": false}, null]})")));
  EXPECT_EQ("INSERT INTO t () VALUES ()",
            generateInsertSQL(json::parse(R"({"name": "t", "columns": []})")));
  EXPECT_EQ("INSERT INTO my table (a) VALUES (?)",
            generateInsertSQL(json::parse(R"({"name": "my table", "columns": [{"name": "a"}]})")));
}

TEST(InsertSql, SchemaErrors) {
  for (const char* table :
       {R"({"columns": []})", R"({"name": 5, "columns": []})", R"([1])", "null"}) {
    SCOPED_TRACE(table);
    EXPECT_THAT([&] { generateInsertSQL(json::parse(table)); },
                ThrowsMessage<std::runtime_error>(StrEq("Table missing name")));
  }
  for (const char* table :
       {R"({"name": "t"})", R"({"name": "t", "columns": {}})", R"({"name": "t", "columns": 1})"}) {
    SCOPED_TRACE(table);
    EXPECT_THAT([&] { generateInsertSQL(json::parse(table)); },
                ThrowsMessage<std::runtime_error>(StrEq("Table has no columns")));
  }
  EXPECT_THAT(
      [] {
        generateInsertSQL(
            json::parse(R"({"name": "t", "columns": [{"name": "a", "autoincrement": 1}]})"));
      },
      ThrowsMessage<json::type_error>(
          StrEq("[json.exception.type_error.302] type must be boolean, but is number")));
  EXPECT_THAT([] { generateInsertSQL(json::parse(R"({"name": "t", "columns": [{"name": 3}]})")); },
              ThrowsMessage<json::type_error>(
                  StrEq("[json.exception.type_error.302] type must be string, but is number")));
}
