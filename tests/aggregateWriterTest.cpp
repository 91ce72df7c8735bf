// Writing aggregator payloads: rows, conversions, and every failure path.
#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "channelFixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

class AggregateWriterTest : public ChannelTest {
 protected:
  // A channel whose table "t" has the given configured columns.
  std::unique_ptr<tvsChannelConfig> OpenColumns(const std::string& columns) {
    return Open(
        R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "t", "columns": )" +
        columns + "}]}");
  }
  int Write(tvsChannelConfig& channel, const std::string& payload) {
    log.Clear();
    return channel.ProcessAggregateData(json::parse(payload));
  }
  int WriteStats(tvsChannelConfig& channel, const std::string& stats) {
    return Write(channel,
                 R"({"log_time_start": 100, "log_time_end": 160, "stats": )" + stats + "}");
  }
};

}  // namespace

TEST_F(AggregateWriterTest, StoresIntervalRowAndOneRowPerEntry) {
  auto channel = Open(kTalkers);
  EXPECT_EQ(2, Write(*channel, R"({"log_time_start": 100, "log_time_end": 160, "stats": [
      {"ip": "10.0.0.1", "bytes": 5}, {"ip": "10.0.0.2", "bytes": 7}]})"));
  EXPECT_THAT(log.Lines(), IsEmpty());
  EXPECT_EQ((Rows{{"1", "100", "160"}}), Q("SELECT id, time_start, time_end FROM flows_intervals"));
  EXPECT_EQ((Rows{{"1", "1", "10.0.0.1", "5"}, {"2", "1", "10.0.0.2", "7"}}),
            Q("SELECT id, interval_id, ip, bytes FROM talkers ORDER BY id"));
  EXPECT_EQ((Rows{{"1"}}),
            Q("SELECT created_at >= datetime('now', '-1 minutes') FROM flows_intervals"));
  // A second payload gets a new interval id; the first keeps its rows.
  EXPECT_EQ(1, Write(*channel,
                     R"({"log_time_start": 160, "log_time_end": 220, "stats": [{"ip": "a"}]})"));
  EXPECT_EQ((Rows{{"1", "2"}, {"2", "1"}}),
            Q("SELECT interval_id, count(*) FROM talkers GROUP BY interval_id"));
}

TEST_F(AggregateWriterTest, MissingOrZeroTimestampsWriteNothing) {
  auto channel = Open(kTalkers);
  for (const char* payload :
       {R"({"log_time_end": 160, "stats": [{}]})", R"({"log_time_start": 100, "stats": [{}]})",
        R"({"log_time_start": 100, "log_time_end": 0, "stats": [{}]})",
        R"({"log_time_start": false, "log_time_end": 5, "stats": [{}]})", "[1]", "5"}) {
    SCOPED_TRACE(payload);
    EXPECT_EQ(0, Write(*channel, payload));
    EXPECT_THAT(log.Lines(), ElementsAre("flows: Metadata lacked timestamps - aborting\n"));
  }
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM flows_intervals"));
}

TEST_F(AggregateWriterTest, TimestampConversions) {
  auto channel = Open(kTalkers);
  EXPECT_EQ(1,
            Write(*channel, R"({"log_time_start": 100.9, "log_time_end": true, "stats": [{}]})"));
  EXPECT_EQ(1, Write(*channel, R"({"log_time_start": 300, "log_time_end": 200, "stats": [{}]})"));
  EXPECT_EQ(
      1, Write(*channel,
               R"({"log_time_start": -5.5, "log_time_end": 18446744073709551615, "stats": [{}]})"));
  EXPECT_EQ(1,
            Write(*channel, R"({"log_time_start": 1e300, "log_time_end": -1e300, "stats": [{}]})"));
  EXPECT_EQ((Rows{{"100", "1"},
                  {"300", "200"},
                  {"-5", "-1"},
                  {"9223372036854775807", "-9223372036854775808"}}),
            Q("SELECT time_start, time_end FROM flows_intervals ORDER BY id"));
}

TEST_F(AggregateWriterTest, TimestampOfWrongTypeRaisesBeforeAnyTransaction) {
  auto channel = Open(kTalkers);
  for (const char* start : {"null", "\"100\"", "[1]", "{}"}) {
    SCOPED_TRACE(start);
    EXPECT_THROW(
        Write(*channel, std::string(R"({"log_time_start": )") + start + R"(, "stats": [{}]})"),
        json::type_error);
    EXPECT_THAT(log.Lines(), IsEmpty());
  }
  EXPECT_THAT(
      [&] { Write(*channel, R"({"log_time_start": 1, "log_time_end": "2", "stats": [{}]})"); },
      ThrowsMessage<json::type_error>(
          StrEq("[json.exception.type_error.302] type must be number, but is string")));
}

TEST_F(AggregateWriterTest, MissingAndNonObjectEntriesGiveNulls) {
  auto channel = Open(kTalkers);
  EXPECT_EQ(5, WriteStats(*channel, R"([{"bytes": 1}, {"ip": null, "bytes": null}, 7, "x", [1]])"));
  EXPECT_EQ((Rows{{"1", "NULL", "1"},
                  {"1", "NULL", "NULL"},
                  {"1", "NULL", "NULL"},
                  {"1", "NULL", "NULL"},
                  {"1", "NULL", "NULL"}}),
            Q("SELECT interval_id, ip, bytes FROM talkers ORDER BY id"));
}

TEST_F(AggregateWriterTest, TextConversionAndSplit) {
  auto channel = OpenColumns(
      R"([{"name": "v", "type": "TEXT"}, {"name": "s0", "type": "TEXT", "mapped": "v", "split": 0},
      {"name": "s1", "type": "TEXT", "mapped": "v", "split": 1}, {"name": "s3", "type": "TEXT", "mapped": "v", "split": 3}])");
  struct Case {
    const char* value;
    Rows expected;  // v, s0, s1, s3
  };
  for (const Case& c : std::vector<Case>{
           {R"("alpha.beta.gamma")", {{"alpha.beta.gamma", "alpha", "beta", ""}}},
           {R"("a..b")", {{"a..b", "a", "", ""}}},
           {R"("plain")", {{"plain", "plain", "", ""}}},
           {R"("")", {{"", "", "", ""}}},
           {R"(["a", "b", 3])", {{"a b 3", "a b 3", "", ""}}},
           {R"([])", {{"", "", "", ""}}},
           {R"(["x.y", [1, 2], {"b": 1, "a": "q"}])",
            {{"x.y [1,2] {\"a\":\"q\",\"b\":1}", "x", "y [1,2] {\"a\":\"q\",\"b\":1}", ""}}},
           {"2.5", {{"2.5", "2", "5", ""}}},
           {"true", {{"true", "true", "", ""}}},
           {"-7", {{"-7", "-7", "", ""}}},
           {R"("é.ü")", {{"é.ü", "é", "ü", ""}}}}) {
    SCOPED_TRACE(c.value);
    Exec(DbFile(), "DELETE FROM t");
    EXPECT_EQ(1, WriteStats(*channel, std::string(R"([{"v": )") + c.value + "}]"));
    EXPECT_EQ(c.expected, Q("SELECT v, s0, s1, s3 FROM t"));
    EXPECT_EQ((Rows{{"text", "text"}}), Q("SELECT typeof(v), typeof(s3) FROM t"));
  }
}

TEST_F(AggregateWriterTest, TextWithEmbeddedZeroIsStoredWhole) {
  auto channel = OpenColumns(R"([{"name": "v", "type": "TEXT"}])");
  EXPECT_EQ(1, WriteStats(*channel, R"([{"v": "a\u0000b"}])"));
  EXPECT_EQ((Rows{{"3", "610062"}}), Q("SELECT length(CAST(v AS BLOB)), hex(v) FROM t"));
}

TEST_F(AggregateWriterTest, IntegerConversion) {
  auto channel = OpenColumns(R"([{"name": "n", "type": "INTEGER"}])");
  EXPECT_EQ(4, WriteStats(*channel,
                          R"([{"n": 3.9}, {"n": -3.9}, {"n": 18446744073709551615}, {"n": -12}])"));
  EXPECT_EQ((Rows{{"3"}, {"-3"}, {"-1"}, {"-12"}}), Q("SELECT n FROM t ORDER BY id"));
}

TEST_F(AggregateWriterTest, OtherTypesAlwaysNull) {
  auto channel = OpenColumns(
      R"([{"name": "r", "type": "REAL"}, {"name": "l", "type": "text"}, {"name": "i", "type": "integer"}])");
  EXPECT_EQ(1, WriteStats(*channel, R"([{"r": 2.5, "l": "x", "i": 3}])"));
  EXPECT_EQ((Rows{{"NULL", "NULL", "NULL"}}), Q("SELECT r, l, i FROM t"));
}

TEST_F(AggregateWriterTest, MappedNamesAndColumnDefaults) {
  auto channel =
      OpenColumns(R"([{"name": "app", "type": "TEXT", "mapped": "application", "split": 0},
      {"name": "n", "type": "INTEGER", "default": 9}])");
  EXPECT_EQ(1, WriteStats(*channel, R"([{"application": "video.example", "app": "wrong"}])"));
  // A bound NULL wins over the column default, as in every INSERT that lists the column.
  EXPECT_EQ((Rows{{"video", "NULL"}}), Q("SELECT app, n FROM t"));
}

TEST_F(AggregateWriterTest, ConstraintViolationInSecondEntryLeavesNothing) {
  auto channel = OpenColumns(R"([{"name": "ip", "type": "TEXT", "not_null": true}])");
  EXPECT_EQ(-1, WriteStats(*channel, R"([{"ip": "a"}, {}, {"ip": "c"}])"));
  EXPECT_THAT(log.Lines(),
              ElementsAre("flows: SQLite stats insert failed: NOT NULL constraint failed: t.ip\n",
                          "flows: Transaction aborted\n"));
  EXPECT_EQ((Rows{{"0", "0"}}),
            Q("SELECT (SELECT count(*) FROM flows_intervals), (SELECT count(*) FROM t)"));
  // The connection takes the next payload normally.
  EXPECT_EQ(1, WriteStats(*channel, R"([{"ip": "d"}])"));
}

TEST_F(AggregateWriterTest, IntegerOfWrongTypeRollsBackAndRaises) {
  auto channel = Open(kTalkers);
  for (const char* value : {R"("5")", "true", "[1]", "{}"}) {
    SCOPED_TRACE(value);
    EXPECT_THROW(
        WriteStats(*channel, std::string(R"([{"ip": "a", "bytes": 1}, {"ip": "b", "bytes": )") +
                                 value + "}]"),
        json::type_error);
    EXPECT_THAT(log.Lines(), ElementsAre("flows: Transaction aborted\n"));
    EXPECT_EQ((Rows{{"0", "0"}}),
              Q("SELECT (SELECT count(*) FROM flows_intervals), (SELECT count(*) FROM talkers)"));
  }
  EXPECT_EQ(1, WriteStats(*channel, R"([{"ip": "a", "bytes": 1}])"));
}

TEST_F(AggregateWriterTest, BadMappedRaisesInsideTransaction) {
  auto channel = OpenColumns(R"([{"name": "a", "type": "TEXT", "mapped": 5}])");
  EXPECT_THAT([&] { WriteStats(*channel, R"([{"a": "x"}])"); },
              ThrowsMessage<json::type_error>(
                  StrEq("[json.exception.type_error.302] type must be string, but is number")));
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM flows_intervals"));
}

TEST_F(AggregateWriterTest, MissingHandle) {
  auto channel = Load(kTalkers);
  EXPECT_EQ(-1, WriteStats(*channel, "[{}]"));
  EXPECT_THAT(log.Lines(), ElementsAre("flows: Database handle missing - aborting\n"));
}

TEST_F(AggregateWriterTest, TableChangedSinceCreationFailsAtPrepare) {
  Open(kTalkers).reset();
  auto channel = Open(
      R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "talkers", "columns": [
      {"name": "ip", "type": "TEXT"}, {"name": "port", "type": "INTEGER"}]}]})");
  EXPECT_EQ(-1, WriteStats(*channel, R"([{"ip": "a"}])"));
  EXPECT_THAT(log.Lines(),
              ElementsAre("flows: SQLite prepare failed: table talkers has no column named port\n",
                          "flows: Transaction aborted\n"));
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM flows_intervals"));
}

TEST_F(AggregateWriterTest, IntervalsTableGoneFailsTheIntervalInsert) {
  auto channel = Open(kTalkers);
  Exec(DbFile(), "DROP TABLE talkers; DROP TABLE flows_intervals;");
  EXPECT_EQ(-1, WriteStats(*channel, "[{}]"));
  // The connection prepares against its cached schema; the step finds the change.
  EXPECT_THAT(log.Lines(),
              ElementsAre("flows: SQLite interval insert failed: no such table: flows_intervals\n",
                          "flows: Transaction aborted\n"));
}

TEST_F(AggregateWriterTest, IntervalInsertFailure) {
  auto channel = Open(kTalkers);
  Exec(
      DbFile(),
      "CREATE TRIGGER no_intervals BEFORE INSERT ON flows_intervals BEGIN SELECT RAISE(ABORT, 'closed'); END;");
  EXPECT_EQ(-1, WriteStats(*channel, "[{}]"));
  EXPECT_THAT(log.Lines(), ElementsAre("flows: SQLite interval insert failed: closed\n",
                                       "flows: Transaction aborted\n"));
}

TEST_F(AggregateWriterTest, BeginFailsWhileAnotherConnectionWrites) {
  auto channel = Open(kTalkers);
  sqlite3* holder = nullptr;
  sqlite3_open(DbFile().c_str(), &holder);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  // BEGIN is deferred: it succeeds, and the first write meets the lock.
  EXPECT_EQ(-1, WriteStats(*channel, "[{}]"));
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_THAT(log.Lines(), ElementsAre("flows: SQLite interval insert failed: database is locked\n",
                                       "flows: Transaction aborted\n"));
  EXPECT_EQ(1, WriteStats(*channel, "[{}]"));
}

TEST_F(AggregateWriterTest, CommitFailsWhileAReaderHoldsTheFile) {
  auto channel = Open(kTalkers);
  sqlite3* reader = nullptr;
  sqlite3_open(DbFile().c_str(), &reader);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM talkers;", nullptr,
                                    nullptr, nullptr));
  EXPECT_EQ(-1, WriteStats(*channel, R"([{"ip": "a"}])"));
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  EXPECT_THAT(log.Lines(), ElementsAre("flows: COMMIT failed: database is locked\n",
                                       "flows: Transaction aborted\n"));
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(AggregateWriterTest, BeginFailsInsideAnOpenTransaction) {
  auto channel = Open(kTalkers);
  sqlite3_exec(channel->db.get(), "BEGIN", nullptr, nullptr, nullptr);
  EXPECT_EQ(-1, WriteStats(*channel, "[{}]"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "flows: BEGIN TRANSACTION failed: cannot start a transaction within a transaction\n"));
}

TEST_F(AggregateWriterTest, ValuesNeverShiftIntoNeighbouringColumns) {
  // "x" and "seq" are mapped from the entry's "id" and "interval_id"; each
  // listed column still gets its own value, and "y" is not shifted.
  auto channel = OpenColumns(R"([{"name": "x", "type": "INTEGER", "mapped": "id"},
      {"name": "seq", "type": "INTEGER", "autoincrement": false, "mapped": "interval_id"},
      {"name": "y", "type": "TEXT"}])");
  EXPECT_EQ(1, WriteStats(*channel, R"([{"id": 42, "interval_id": 7, "y": "why"}])"));
  EXPECT_EQ((Rows{{"1", "42", "7", "why"}}), Q("SELECT interval_id, x, seq, y FROM t"));
}

TEST_F(AggregateWriterTest, EmptyStatsCommitsTheIntervalAlone) {
  auto channel = Open(kTalkers);
  EXPECT_EQ(0, WriteStats(*channel, "[]"));
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM flows_intervals"));
}

TEST_F(AggregateWriterTest, OnlyTheFirstTableReceivesRows) {
  auto channel = Open(R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [
      {"name": "a", "columns": [{"name": "v", "type": "TEXT"}]}, {"name": "b", "columns": [{"name": "v", "type": "TEXT"}]}]})");
  EXPECT_EQ(1, WriteStats(*channel, R"([{"v": "x"}])"));
  EXPECT_EQ((Rows{{"1", "0"}}), Q("SELECT (SELECT count(*) FROM a), (SELECT count(*) FROM b)"));
}

TEST_F(AggregateWriterTest, RowsGoInGroupsInEntryOrderAndFailAsEachRowAloneWould) {
  auto channel = OpenColumns(R"([{"name": "ip", "type": "TEXT", "not_null": true},
      {"name": "n", "type": "INTEGER"}])");
  // 70 entries: two groups of 32 and one of 6, ids in entry order.
  std::string stats;
  for (int i = 0; i < 70; ++i) {
    stats += std::string(i ? "," : "") + R"({"ip": "h)" + std::to_string(i) + R"(", "n": )" +
             std::to_string(i) + "}";
  }
  EXPECT_EQ(70, WriteStats(*channel, "[" + stats + "]"));
  EXPECT_EQ((Rows{{"70", "1", "70", "70"}}),
            Q("SELECT count(*), min(id), max(id), sum(id = n + 1) FROM t"));
  // A failing row and a bad value after it in the same group: one row at a
  // time meets the row first, so its failure is the one reported; a bad
  // value comes first when no row before it fails.
  const std::pair<const char*, const char*> cases[] = {
      {R"([{"ip": "a"}, {"n": 1}, {"ip": "c", "n": "x"}])",
       "flows: SQLite stats insert failed: NOT NULL constraint failed: t.ip\n"},
      {R"([{"ip": "a"}, {"ip": "b", "n": "x"}, {"n": 1}])", nullptr},
  };
  for (const auto& [payload, line] : cases) {
    SCOPED_TRACE(payload);
    if (line) {
      EXPECT_EQ(-1, WriteStats(*channel, payload));
      EXPECT_THAT(log.Lines(), ElementsAre(line, "flows: Transaction aborted\n"));
    } else {
      EXPECT_THROW(WriteStats(*channel, payload), json::type_error);
      EXPECT_THAT(log.Lines(), ElementsAre("flows: Transaction aborted\n"));
    }
    EXPECT_EQ((Rows{{"1", "70"}}),
              Q("SELECT (SELECT count(*) FROM flows_intervals), (SELECT count(*) FROM t)"));
  }
  EXPECT_EQ(1, WriteStats(*channel, R"([{"ip": "d"}])"));
}

TEST_F(AggregateWriterTest, ATableOfTwoThousandColumnsStaysWithinSQLitesParameterLimit) {
  std::string columns;
  std::string entry;
  for (int i = 0; i < 1997; ++i) {
    columns += std::string(i ? "," : "") + R"({"name": "c)" + std::to_string(i) +
               R"(", "type": "INTEGER"})";
    entry += std::string(i ? "," : "") + R"("c)" + std::to_string(i) + R"(": )" + std::to_string(i);
  }
  // With id and interval_id, 1,999 columns; 2,001 parameters a row.
  auto channel = OpenColumns("[" + columns + "]");
  std::string stats;
  for (int i = 0; i < 40; ++i) stats += std::string(i ? "," : "") + "{" + entry + "}";
  EXPECT_EQ(40, WriteStats(*channel, "[" + stats + "]"));
  EXPECT_EQ((Rows{{"40", "1996", "40"}}), Q("SELECT count(*), max(c1996), max(id) FROM t"));
}

TEST_F(AggregateWriterTest, ForeignKeysOfTheirOwnAreCheckedRowByRowAsAlone) {
  // A foreign key is checked at the end of its statement: in a group, a row
  // could find its parent in a later row, or be reported after a later
  // row's failure. Such tables take one row per statement.
  const std::pair<const char*, const char*> cases[] = {
      {R"([{"name": "t", "columns": [{"name": "ip", "type": "TEXT", "not_null": true},
          {"name": "ref", "type": "INTEGER", "foreign_key": {"table": "other", "column": "id"}}]},
          {"name": "other", "columns": [{"name": "v", "type": "TEXT"}]}])",
       R"([{"ip": "a", "ref": 5}, {"ref": null}])"},
      {R"([{"name": "t", "columns": [{"name": "ip", "type": "TEXT"},
          {"name": "ref", "type": "INTEGER", "foreign_key": {"table": "t", "column": "id"}}]}])",
       R"([{"ip": "child", "ref": 2}, {"ip": "parent"}])"},
  };
  for (const auto& [tables, stats] : cases) {
    SCOPED_TRACE(tables);
    std::filesystem::remove(DbFile());
    auto channel = Open(R"({"db_name": "flows.db", "data_source": "aggregator", "tables": )" +
                        std::string(tables) + "}");
    EXPECT_EQ(-1, WriteStats(*channel, stats));
    EXPECT_THAT(log.Lines(),
                ElementsAre("flows: SQLite stats insert failed: FOREIGN KEY constraint failed\n",
                            "flows: Transaction aborted\n"));
    EXPECT_EQ((Rows{{"0", "0"}}),
              Q("SELECT (SELECT count(*) FROM flows_intervals), (SELECT count(*) FROM t)"));
  }
}

TEST_F(AggregateWriterTest, PayloadsOfEverySizeKeepOneStatementPerPowerOfTwo) {
  auto channel = OpenColumns(R"([{"name": "ip", "type": "TEXT"}])");
  for (int n = 1; n <= 33; ++n) {
    std::string stats;
    for (int i = 0; i < n; ++i) stats += std::string(i ? "," : "") + R"({"ip": "h"})";
    ASSERT_EQ(n, WriteStats(*channel, "[" + stats + "]"));
  }
  std::vector<int> sizes;
  for (sqlite3_stmt* s = sqlite3_next_stmt(channel->db.get(), nullptr); s;
       s = sqlite3_next_stmt(channel->db.get(), s)) {
    if (std::string(sqlite3_sql(s)).rfind("INSERT INTO t ", 0) == 0) {
      sizes.push_back(sqlite3_bind_parameter_count(s) / 2);
    }
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ((std::vector<int>{1, 2, 4, 8, 16, 32}), sizes);
  EXPECT_EQ((Rows{{"561", "561"}}), Q("SELECT count(*), max(id) FROM t"));
}
