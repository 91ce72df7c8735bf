// Rollup tables: their sums against the raw rows they sum, through streams
// with batches, a full-disk window, failures and reloads; their set-up,
// drift and retention.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "channelFixture.h"
#include "clock.h"
#include "faultVfs.h"
#include "pluginFixture.h"
#include "retryBackoff.h"
#include "tvsPlugin.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// talkers: ip TEXT NOT NULL, app TEXT (its first '.' piece), bytes and
// packets INTEGER.
const char kTables[] = R"([{"name": "talkers", "columns": [
    {"name": "ip", "type": "TEXT", "not_null": true}, {"name": "app", "type": "TEXT", "mapped": "application", "split": 0},
    {"name": "bytes", "type": "INTEGER"}, {"name": "packets", "type": "INTEGER"}]}])";
const char kHourly[] = R"({"table": "hourly", "seconds": 3600, "group_by": ["ip", "app"],
    "sum": ["bytes"], "count": "flows"})";

// Rows where the rollup and the raw rows it sums differ, over every bucket
// the raw rows still hold; `columns` are the rollup's sums and count.
std::string Mismatches(const std::string& rollup, int seconds, const std::string& sums) {
  const std::string s = std::to_string(seconds);
  std::string raw_sums;
  std::stringstream names(sums);
  for (std::string name; std::getline(names, name, ',');) {
    raw_sums += ", coalesce(sum(e." + name + "), 0)";
  }
  const std::string raw = "SELECT i.time_start - ((i.time_start % " + s + ") + " + s + ") % " + s +
                          " AS b, e.ip, e.app" + raw_sums +
                          ", count(*) FROM talkers e JOIN flows_intervals i ON e.interval_id = "
                          "i.id GROUP BY 1, 2, 3";
  const std::string kept = "SELECT bucket, ip, app, " + sums + ", flows FROM " + rollup +
                           " WHERE bucket IN (SELECT b FROM (" + raw + "))";
  return "SELECT count(*) FROM (SELECT * FROM (" + raw + " EXCEPT " + kept +
         ") UNION ALL SELECT * FROM (" + kept + " EXCEPT " + raw + "))";
}

class RollupStreamTest : public PluginChannelTest {
 protected:
  RollupStreamTest() : PluginChannelTest(kTables) {}

  void Reload(const std::string& members) {
    WriteConfig(members);
    plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
    ASSERT_TRUE(plugin->WaitUntilIdle());
  }
  // Payload k: ten minutes from k * 600, five entries over three talkers
  // and two apps, one without an app (a NULL group).
  void Queue(int k) {
    std::string stats;
    for (int i = 0; i < 5; ++i) {
      stats +=
          std::string(i ? "," : "") + R"({"ip": "10.0.0.)" + std::to_string(i % 3) + "\"" +
          (i == 4 ? "" : std::string(R"(, "application": ")") + (i % 2 ? "web.x" : "dns") + "\"") +
          R"(, "bytes": )" + std::to_string(k * 100 + i) + R"(, "packets": )" + std::to_string(k) +
          "}";
    }
    QueueText(R"({"log_time_start": )" + std::to_string(k * 600) + R"(, "log_time_end": )" +
              std::to_string(k * 600 + 600) + R"(, "stats": [)" + stats + "]}");
  }
  bool UntilSettled(int payloads) {
    for (int round = 0; round < 2000; ++round) {
      const json flows = Flows();
      if (flows.value("payloads", 0) == payloads && flows.value("held", 0) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      plugin->WaitUntilIdle();
    }
    return false;
  }
  std::string Q1(const std::string& sql) { return Query(dir.File("flows.db"), sql).at(0).at(0); }
};

}  // namespace

TEST_F(RollupStreamTest, SumsEqualTheRawRowsThroughBatchesFailuresAndAFullDiskWindow) {
  const std::string rollups = std::string(R"("rollups": [)") + kHourly + "], ";
  for (const char* mode : {"", R"("commit_batch": 8, )", R"("retry_mb": 1, )",
                           R"("retry_mb": 1, "commit_batch": 4, "read_ahead": true, )"}) {
    SCOPED_TRACE(mode);
    Stop();
    std::filesystem::remove(dir.File("flows.db"));
    tvsFirstRetryWait = std::chrono::milliseconds(1);
    Start(rollups + mode);
    const bool holds = std::string(mode).find("retry_mb") != std::string::npos;
    for (int k = 1; k <= 40; ++k) {
      if (holds && k == 11) {
        tvsFaultVfs::Arm(tvsFaultVfs::kWrite, 1, SQLITE_FULL, dir.path() + "/", true);
      }
      if (holds && k == 21) {
        plugin->WaitUntilIdle();
        tvsFaultVfs::Disarm();
      }
      Queue(k);
      // Failures no retry mends, mid-batch: no row and no sum of theirs stays.
      if (k % 9 == 0) {
        QueueText(R"({"log_time_start": 60, "log_time_end": 120, "stats": [{"ip": "a", "bytes": 1},
                      {"ip": "b", "bytes": "many"}]})");
      }
    }
    ASSERT_TRUE(UntilSettled(44));
    EXPECT_EQ(4, Flows()["failed"]);
    if (holds) {
      EXPECT_GE(Flows().value("retried", 0), 1);
    }
    EXPECT_EQ("200", Q1("SELECT count(*) FROM talkers"));
    EXPECT_EQ("0", Q1(Mismatches("hourly", 3600, "bytes")));
    // 40 payloads of ten minutes: 7 hours, each with its talker-and-app
    // groups, the NULL app one group per talker.
    EXPECT_EQ("200", Q1("SELECT sum(flows) FROM hourly"));
    EXPECT_EQ("1", Q1("SELECT count(*) FROM hourly WHERE bucket = 3600 AND ip = '10.0.0.1' "
                      "AND app IS NULL"));
    EXPECT_EQ("web", Q1("SELECT app FROM hourly WHERE ip = '10.0.0.1' AND app IS NOT NULL "
                        "LIMIT 1"));
  }
}

TEST_F(RollupStreamTest, AReloadThatAddsOrChangesARollupMidStreamKeepsItsSums) {
  Start("");
  for (int k = 1; k <= 10; ++k) Queue(k);
  ASSERT_TRUE(UntilSettled(10));
  // Added: filled once from the rows the file holds.
  log.Clear();
  Reload(std::string(R"("rollups": [)") + kHourly + "], ");
  EXPECT_THAT(
      log.Lines(),
      Contains("flows: rollup hourly: filled with 10 rows from 50 rows of table talkers\n"));
  for (int k = 11; k <= 20; ++k) Queue(k);
  ASSERT_TRUE(UntilSettled(10));
  EXPECT_EQ("0", Q1(Mismatches("hourly", 3600, "bytes")));

  // Changed: a sum column more is added, and summed from then on; an
  // existing table is never filled again.
  log.Clear();
  Reload(R"("schema_update": "add_columns", "rollups": [{"table": "hourly", "seconds": 3600,
      "group_by": ["ip", "app"], "sum": ["bytes", "packets"], "count": "flows"}], )");
  EXPECT_THAT(log.Lines(), Contains("flows: added column packets to table hourly\n"));
  EXPECT_THAT(log.Lines(), Not(Contains(HasSubstr("filled with"))));
  for (int k = 21; k <= 30; ++k) Queue(k);
  ASSERT_TRUE(UntilSettled(10));
  EXPECT_EQ("0", Q1(Mismatches("hourly", 3600, "bytes")));
  EXPECT_EQ(Q1("SELECT sum(packets) FROM talkers WHERE interval_id > 20"),
            Q1("SELECT sum(packets) FROM hourly"));

  // Another width for the same table is refused: the channel is not loaded.
  log.Clear();
  Reload(R"("rollups": [{"table": "hourly", "seconds": 1800, "group_by": ["ip", "app"],
      "sum": ["bytes"], "count": "flows"}], )");
  EXPECT_THAT(log.Lines(),
              Contains(HasSubstr("flows: rollup hourly: table hourly was not made with buckets of "
                                 "1800 seconds; a rollup table is never rewritten: give the rollup "
                                 "a new table")));
}

TEST_F(RollupStreamTest, ChannelsThatShareAFileCannotShareARollupTable) {
  std::string second = std::string(R"("flows2": {"db_name": "flows.db", "data_source": "aggregator",
      "rollups": [)") + kHourly +
                       R"(], "tables": )" + kTables + "}";
  second.replace(second.find("talkers"), 7, "talkers2");
  Start(std::string(R"("rollups": [)") + kHourly + "], ");
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() +
                             R"(", "channels": {"flows": {"db_name": "flows.db", "rollups": [)" +
                             kHourly + R"(], "data_source": "aggregator", "tables": )" + kTables +
                             "}, " + second + "}}");
  log.Clear();
  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_THAT(log.Lines(), Contains(HasSubstr("flows2: rollup hourly: channel flows has a rollup "
                                              "of that table in the same file")));
}

namespace {

class RollupTest : public ChannelTest {
 protected:
  static std::string Config(const std::string& rollups, const std::string& members = "") {
    return std::string(R"({"db_name": "flows.db", "data_source": "aggregator", )") + members +
           R"("rollups": )" + rollups + R"(, "tables": )" + kTables + "}";
  }
  // Payload at `start` with one entry of talker `ip`, `bytes` bytes.
  static std::string Payload(int64_t start, const std::string& ip, const std::string& bytes) {
    return R"({"log_time_start": )" + std::to_string(start) + R"(, "log_time_end": )" +
           std::to_string(start + 60) + R"(, "stats": [{"ip": ")" + ip +
           R"(", "application": "dns", "bytes": )" + bytes + "}]}";
  }
};

}  // namespace

TEST_F(RollupTest, DefinitionsItCannotTakeAreLoadErrorsNamingTheRollup) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([{"table": "r", "seconds": 3600, "group_by": ["port"], "count": "n"}])",
       "flows: rollup r: group_by column port is no entry column of table talkers"},
      {R"([{"table": "r", "seconds": 3600, "sum": ["ip"]}])",
       "flows: rollup r: sum column ip is not INTEGER"},
      {R"([{"table": "r", "seconds": 7000, "count": "n"}])",
       "flows: rollup r: \"seconds\" must be a divisor of 86400 or a multiple of it, not 7000"},
      {R"([{"table": "r", "seconds": 0, "count": "n"}])",
       "flows: rollup r: \"seconds\" must be a divisor of 86400 or a multiple of it"},
      {R"([{"table": "r", "count": "n"}])", "flows: rollup r: no \"seconds\""},
      {R"([{"table": "r", "seconds": 60}])", "flows: rollup r: nothing to sum or count"},
      {R"([{"table": "talkers", "seconds": 60, "count": "n"}])",
       "flows: rollup talkers: the table is taken by another"},
      {R"([{"table": "r", "seconds": 60, "group_by": ["ip"], "sum": ["bytes"], "count": "ip"}])",
       "flows: rollup r: count column ip is named twice"},
      {R"([{"table": "r", "seconds": 60, "group_by": ["interval_id"], "count": "n"}])",
       "flows: rollup r: group_by column interval_id is no entry column of table talkers"},
      {R"({"table": "r"})", "flows: rollup #1: \"rollups\" must be an array of rollup definitions"},
      // Names as SQLite compares them, and a retention shorter than a bucket.
      {R"([{"table": "r", "seconds": 60, "count": "n"}, {"table": "\"R\"", "seconds": 60,
           "count": "n"}])",
       "flows: rollup \"R\": the table is taken by another"},
      {R"([{"table": "r", "seconds": 60, "group_by": ["ip"], "count": "IP"}])",
       "flows: rollup r: count column IP is named twice"},
      {R"([{"table": "r", "seconds": 604800, "keep_days": 1, "count": "n"}])",
       "flows: rollup r: \"keep_days\" must keep at least one bucket of 604800 seconds"},
  };
  for (const auto& [rollups, error] : cases) {
    SCOPED_TRACE(rollups);
    try {
      Load(Config(rollups));
      ADD_FAILURE() << "loaded";
    } catch (const std::exception& e) {
      EXPECT_EQ(error, std::string(e.what()));
    }
  }
  try {
    Load(R"({"db_name": "x.db", "data_source": "netflow", "rollups": []})");
    ADD_FAILURE() << "loaded";
  } catch (const std::exception& e) {
    EXPECT_EQ("flows: invalid rollups: rollups sum the rows of aggregator channels only",
              std::string(e.what()));
  }
}

TEST_F(RollupTest, TableTextAndAQuotedNameAsConfigured) {
  auto channel = Open(Config(R"([{"table": "\"by day\"", "seconds": 86400,
      "group_by": ["ip"], "sum": ["bytes"], "count": "flows"}])"));
  EXPECT_EQ((Rows{{"CREATE TABLE \"by day\" (\n    bucket INTEGER NOT NULL,\n    ip TEXT,\n"
                   "    bytes INTEGER NOT NULL DEFAULT 0,\n    flows INTEGER NOT NULL DEFAULT 0,\n"
                   "    CHECK (bucket % 86400 = 0)\n)"},
                  {"CREATE UNIQUE INDEX \"by day_key\" ON \"by day\" (bucket, coalesce(ip, "
                   "x''))"}}),
            Q("SELECT sql FROM sqlite_schema WHERE tbl_name = 'by day' ORDER BY type DESC"));
  // Sums past the 64-bit range go on as real numbers, as SQLite's own +
  // does; a negative start falls in the bucket before zero.
  EXPECT_EQ(1, channel->InsertPayload(Payload(-10, "a", "9223372036854775807")));
  EXPECT_EQ(1, channel->InsertPayload(Payload(-20, "a", "9223372036854775807")));
  EXPECT_EQ((Rows{{"-86400", "a", "real", "2"}}),
            Q("SELECT bucket, ip, typeof(bytes), flows FROM \"by day\""));
}

TEST_F(RollupTest, PurgesDeleteRawRowsOnlyAndKeepDaysDeletesOldBuckets) {
  const int64_t now = tvsClock(nullptr);
  const int64_t day = 86400;
  const std::string config = Config(R"([{"table": "daily", "seconds": 86400, "keep_days": 10,
      "group_by": ["ip"], "sum": ["bytes"], "count": "flows"}])",
                                    R"("purge_in_days": 1, "max_db_mb": 1, )");
  auto channel = Open(config);
  // The first payload gives the daily purge its chance; the bucket 30 days
  // old comes after it.
  for (int64_t age : {5, 30, 1}) {
    ASSERT_EQ(1, channel->InsertPayload(Payload(now - age * day, "a", "7")));
  }
  Exec(DbFile(),
       "UPDATE flows_intervals SET created_at = datetime('now', '-2 days') "
       "WHERE time_start = " +
           std::to_string(now - 5 * day));
  // At start-up the raw retention takes the interval created two days ago,
  // keep_days the bucket 30 days old; the bucket 5 days old stays.
  channel.reset();
  log.Clear();
  channel = Open(config);
  EXPECT_THAT(log.Lines(),
              Contains("flows: rollup daily: purged 1 rows of buckets older than 10 days\n"));
  EXPECT_EQ((Rows{{"2"}}), Q("SELECT count(*) FROM talkers"));
  EXPECT_EQ((Rows{{"14", "2"}}), Q("SELECT sum(bytes), sum(flows) FROM daily WHERE ip = 'a'"));

  // Past the cap the oldest intervals go, never a rollup row.
  std::string big = R"({"log_time_start": )" + std::to_string(now) + R"(, "log_time_end": )" +
                    std::to_string(now + 60) + R"(, "stats": [)";
  for (int i = 0; i < 2000; ++i) {
    big += std::string(i ? "," : "") + R"({"ip": ")" + std::string(300, 'x') + R"(", "bytes": 1})";
  }
  ASSERT_EQ(2000, channel->InsertPayload(big + "]}"));
  ASSERT_EQ(2000, channel->InsertPayload(big + "]}"));
  EXPECT_THAT(log.Lines(), Contains(HasSubstr("flows: size cap: deleted ")));
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers WHERE ip = 'a'"));
  EXPECT_EQ((Rows{{"14", "4002"}}),
            Q("SELECT sum(bytes) FILTER (WHERE ip = 'a'), sum(flows) FROM daily"));
}

TEST_F(RollupTest, AnExistingTableWithOtherGroupsIsALoadErrorAndNeverRewritten) {
  Open(Config(R"([{"table": "r", "seconds": 3600, "group_by": ["ip"], "count": "n"}])")).reset();
  const std::pair<const char*, const char*> cases[] = {
      {R"([{"table": "r", "seconds": 3600, "group_by": ["ip", "app"], "count": "n"}])",
       "flows: rollup r: table r has no group column app; a rollup table is never rewritten: "
       "give the rollup a new table"},
      {R"([{"table": "r", "seconds": 3600, "count": "n"}])",
       "flows: rollup r: table r keeps other groups than configured (ON CONFLICT clause does not "
       "match any PRIMARY KEY or UNIQUE constraint); a rollup table is never rewritten: give the "
       "rollup a new table"},
      {R"([{"table": "talkers_2", "seconds": 3600, "count": "n"}])", nullptr},
  };
  Exec(DbFile(), "CREATE TABLE talkers_2 (bucket INTEGER, n INTEGER)");
  for (const auto& [rollups, error] : cases) {
    SCOPED_TRACE(rollups);
    try {
      Open(Config(rollups));
      ADD_FAILURE() << "opened";
    } catch (const std::exception& e) {
      EXPECT_EQ(error
                    ? error
                    : "flows: rollup talkers_2: table talkers_2 was not made with buckets of 3600 "
                      "seconds; a rollup table is never rewritten: give the rollup a new table",
                std::string(e.what()));
    }
  }
  EXPECT_EQ((Rows{{"bucket"}, {"ip"}, {"n"}}), Q("SELECT name FROM pragma_table_info('r')"));
}

TEST_F(RollupTest, RowsStoredWhileARollupWasOffAreSummedWhenItComesBack) {
  const std::string with = Config(R"([{"table": "r", "seconds": 3600, "group_by": ["ip"],
      "sum": ["bytes"], "count": "n"}])");
  const std::string without = std::string(R"({"db_name": "flows.db", "data_source": "aggregator",
      "tables": )") + kTables +
                              "}";
  ASSERT_EQ(1, Open(with)->InsertPayload(Payload(3600, "a", "1")));
  // Stored meanwhile: one in the same bucket, one at the lowest start the
  // 64-bit range has a bucket for.
  {
    auto off = Open(without);
    ASSERT_EQ(1, off->InsertPayload(Payload(3700, "a", "10")));
    ASSERT_EQ(1, off->InsertPayload(Payload(-9223372036854775000, "b", "5")));
  }
  log.Clear();
  auto channel = Open(with);
  EXPECT_THAT(log.Lines(),
              Contains("flows: rollup r: filled with 2 rows from 2 rows of table talkers\n"));
  ASSERT_EQ(1, channel->InsertPayload(Payload(3800, "a", "100")));
  EXPECT_EQ((Rows{{"-9223372036854774000", "b", "5", "1"}, {"3600", "a", "111", "3"}}),
            Q("SELECT bucket, ip, bytes, n FROM r ORDER BY bucket"));
  EXPECT_EQ((Rows{{"r", "4"}}), Q("SELECT rollup, last_interval FROM flows_rollup_marks"));
}
