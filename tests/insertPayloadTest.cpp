// Payload ingestion: parsing, dispatch, outcome lines and the daily purge.
#include <filesystem>

#include "channelFixture.h"
#include "clock.h"

using ::testing::ElementsAre;

namespace {

std::time_t fake_now = 0;
std::time_t fakeClock(std::time_t* out) {
  if (out) *out = fake_now;
  return fake_now;
}

class InsertPayloadTest : public ChannelTest {
 protected:
  void SetUp() override {
    saved_clock = tvsClock;
    tvsClock = fakeClock;
    fake_now = 1800000000;
  }
  void TearDown() override { tvsClock = saved_clock; }

  int Insert(tvsChannelConfig& channel, const std::string& text) {
    log.Clear();
    return channel.InsertPayload(text);
  }

  std::time_t (*saved_clock)(std::time_t*) = nullptr;
};

const char kOneEntry[] =
    R"({"log_time_start": 100, "log_time_end": 160, "stats": [{"ip": "10.0.0.1", "bytes": 5}]})";
const char kProcessing[] = "sink-sqlite: processing data source: aggregator\n";
const char kPurged[] =
    "sink-sqlite: purged data older than 30 days from table flows_intervals in DB flows.db\n";

}  // namespace

TEST_F(InsertPayloadTest, NotJsonLogsParseErrorAndSkipsPurge) {
  auto channel = Open(kTalkers);
  channel->purge_in_days = 30;
  EXPECT_EQ(-1, Insert(*channel, "abc"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "flows: JSON parse error: [json.exception.parse_error.101] parse error at line 1, "
          "column 1: syntax error while parsing value - invalid literal; last read: 'a'\n"));
  EXPECT_EQ(0, channel->last_purge);
}

TEST_F(InsertPayloadTest, CommentsAreAccepted) {
  auto channel = Open(kTalkers);
  EXPECT_EQ(
      1,
      Insert(
          *channel,
          "// interval\n{\"log_time_start\": 1, /* end */ \"log_time_end\": 2, \"stats\": [{}]}"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kProcessing, "sink-sqlite: saved 1 rows from payload on channel flows\n"));
}

TEST_F(InsertPayloadTest, FirstPayloadSavesThenPurgesAndNextDoesNot) {
  auto channel = Open(kTalkers);
  channel->purge_in_days = 30;
  EXPECT_EQ(1, Insert(*channel, kOneEntry));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kProcessing, "sink-sqlite: saved 1 rows from payload on channel flows\n",
                  "sink-sqlite: running daily purge for aggregate flows.flows.db\n", kPurged));
  EXPECT_EQ(fake_now, channel->last_purge);
  fake_now += 60;
  EXPECT_EQ(1, Insert(*channel, kOneEntry));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kProcessing, "sink-sqlite: saved 1 rows from payload on channel flows\n"));
  EXPECT_EQ((Rows{{"2"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(InsertPayloadTest, DailyPurgeBoundaryIsMoreThan86400Seconds) {
  auto channel = Open(kTalkers);
  channel->purge_in_days = 30;
  const std::time_t t0 = fake_now;
  channel->last_purge = t0;
  fake_now = t0 + 86400;
  Insert(*channel, kOneEntry);
  EXPECT_EQ(t0, channel->last_purge);
  fake_now = t0 + 86401;
  Insert(*channel, kOneEntry);
  EXPECT_EQ(t0 + 86401, channel->last_purge);
  EXPECT_EQ(kPurged, log.Lines().back());
  // A clock set back behind last_purge (it had jumped ahead) purges at once,
  // and the days count from the clock's time again.
  fake_now = t0 - 1000;
  Insert(*channel, kOneEntry);
  EXPECT_EQ(t0 - 1000, channel->last_purge);
  EXPECT_EQ(kPurged, log.Lines().back());
  fake_now = t0 - 1000 + 86400;
  Insert(*channel, kOneEntry);
  EXPECT_EQ(t0 - 1000, channel->last_purge);
}

TEST_F(InsertPayloadTest, NoPurgeWithoutPositiveRetention) {
  auto channel = Open(kTalkers);
  for (int days : {0, -2}) {
    channel->purge_in_days = days;
    EXPECT_EQ(1, Insert(*channel, kOneEntry));
    EXPECT_EQ(0, channel->last_purge);
    EXPECT_EQ(2u, log.Lines().size());
  }
}

TEST_F(InsertPayloadTest, PayloadsWithoutEntriesReturnZeroSilently) {
  auto channel = Open(kTalkers);
  channel->purge_in_days = 30;
  for (const char* payload :
       {"{}", "[1, 2]", R"({"stats": 5})", R"({"stats": {}})", R"({"stats": []})", "null"}) {
    SCOPED_TRACE(payload);
    EXPECT_EQ(0, Insert(*channel, payload));
    EXPECT_THAT(log.Lines(), ElementsAre(kProcessing));
  }
  EXPECT_EQ(0, channel->last_purge);
}

TEST_F(InsertPayloadTest, WriterZeroLogsNoRowsSavedAndPurgeRuns) {
  auto channel = Open(kTalkers);
  channel->purge_in_days = 30;
  EXPECT_EQ(0, Insert(*channel, R"({"log_time_start": 100, "stats": [{}]})"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kProcessing, "flows: Metadata lacked timestamps - aborting\n",
                  "sink-sqlite: no rows saved from payload on channel flows\n",
                  "sink-sqlite: running daily purge for aggregate flows.flows.db\n", kPurged));
}

TEST_F(InsertPayloadTest, UnsupportedDataSourceStillChecksPurge) {
  for (const char* source : {"Aggregator", "aggregator ", ""}) {
    SCOPED_TRACE(source);
    auto channel =
        Open(std::string(R"({"db_name": "other.db", "data_source": ")") + source +
             R"(", "tables": [{"name": "t", "columns": [{"name": "a", "type": "TEXT"}]}]})");
    channel->purge_in_days = 30;
    EXPECT_EQ(-1, Insert(*channel, kOneEntry));
    EXPECT_THAT(
        log.Lines(),
        ElementsAre(
            std::string("sink-sqlite: processing data source: ") + source + "\n",
            "sink-sqlite: unsupported data_source on channel flows\n",
            "sink-sqlite: running daily purge for aggregate flows.other.db\n",
            "sink-sqlite: purged data older than 30 days from table flows_intervals in DB other.db\n"));
  }
}

TEST_F(InsertPayloadTest, WriterFailureAddsNoLineAndPurgeRuns) {
  auto channel = Open(
      R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "t", "columns": [
      {"name": "ip", "type": "TEXT", "not_null": true}]}]})");
  channel->purge_in_days = 30;
  EXPECT_EQ(-1, Insert(*channel, R"({"log_time_start": 1, "log_time_end": 2, "stats": [{}]})"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kProcessing,
                  "flows: SQLite stats insert failed: NOT NULL constraint failed: t.ip\n",
                  "flows: Transaction aborted\n",
                  "sink-sqlite: running daily purge for aggregate flows.flows.db\n", kPurged));
}

TEST_F(InsertPayloadTest, TypeErrorCostsOnePayloadOnly) {
  auto channel = Open(kTalkers);
  channel->purge_in_days = 30;
  EXPECT_EQ(
      -1,
      Insert(
          *channel,
          R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "a", "bytes": 1}, {"bytes": "many"}]})"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          kProcessing, "flows: Transaction aborted\n",
          "flows: payload not stored: [json.exception.type_error.302] type must be number, but is string\n",
          "sink-sqlite: running daily purge for aggregate flows.flows.db\n", kPurged));
  EXPECT_EQ(-1, Insert(*channel, R"({"log_time_start": "1", "log_time_end": 2, "stats": [{}]})"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          kProcessing,
          "flows: payload not stored: [json.exception.type_error.302] type must be number, but is string\n"));
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM flows_intervals"));
  EXPECT_EQ(1, Insert(*channel, kOneEntry));
}

TEST_F(InsertPayloadTest, NestingBeyondTheLimitIsRefusedBeforeParsing) {
  auto channel = Open(kTalkers);
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_EQ(-1, Insert(*channel, R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": )" +
                                     deep + "}]}"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre("flows: JSON parse error: arrays and objects nested deeper than 512 levels\n"));
  // Brackets inside strings do not count, and 500 levels are stored as text.
  const std::string brackets = std::string(2000, '[');
  const std::string nested = std::string(500, '[') + std::string(500, ']');
  EXPECT_EQ(2, Insert(*channel, R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": ")" +
                                    brackets + R"(\"["}, {"ip": )" + nested + "}]}"));
  // The outer array is joined, so its one element is written as 998 characters.
  EXPECT_EQ((Rows{{"2002"}, {"998"}}), Q("SELECT length(ip) FROM talkers ORDER BY id"));
}

TEST_F(InsertPayloadTest, FileRemovedOrReplacedUnderTheConnectionIsReopened) {
  auto channel = Open(R"({"db_name": "flows.db", "data_source": "aggregator", "journal_mode": "wal",
      "tables": [{"name": "talkers", "columns": [{"name": "ip", "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}]}]})");
  ASSERT_EQ(1, Insert(*channel, kOneEntry));
  std::filesystem::rename(DbFile(), DbFile("moved.db"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, Insert(*channel, kOneEntry));
  EXPECT_EQ("Found table: talkers\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("flows: database file " + DbFile() + " was removed or replaced; reopening it\n",
            log.Lines().at(0));
  EXPECT_EQ((Rows{{"1", "wal"}}),
            Q("SELECT count(*), (SELECT journal_mode FROM pragma_journal_mode) FROM talkers"));
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM talkers", "moved.db"));

  // Removed, with a directory in its place: the payload fails, the next one
  // tries again once the path is free.
  std::filesystem::remove(DbFile());
  std::filesystem::create_directory(DbFile());
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, Insert(*channel, kOneEntry));
  EXPECT_EQ(-1, Insert(*channel, kOneEntry));
  EXPECT_THAT(log.Lines(), ElementsAre("flows: payload not stored: cannot open DB: " + DbFile() +
                                       ": unable to open database file\n"));
  std::filesystem::remove(DbFile());
  EXPECT_EQ(1, Insert(*channel, kOneEntry));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM talkers"));
  // A file left alone is not reopened.
  EXPECT_EQ(1, Insert(*channel, kOneEntry));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kProcessing, "sink-sqlite: saved 1 rows from payload on channel flows\n"));
}

TEST_F(InsertPayloadTest, NestingIsBoundedOnlyWhereAValueIsBuilt) {
  auto aggregator = Open(kTalkers);
  auto other = Open(
      R"({"db_name": "other.db", "data_source": "collector", "tables": [{"name": "t", "columns": [{"name": "v", "type": "TEXT"}]}]})",
      "other");
  const auto deep = [](size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
  };
  const std::string too_deep =
      "JSON parse error: arrays and objects nested deeper than 512 levels\n";
  const std::string zero_byte =
      "JSON parse error: [json.exception.parse_error.101] parse error at byte 65: syntax error while "
      "parsing value - unexpected zero byte; expected end of input\n";
  struct Case {
    tvsChannelConfig* channel;
    std::string text;
    int result;
    std::string last_line;  // after the channel's name
  };
  const std::string zero(1, '\0');
  const std::string one = R"("log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "a")";
  for (const Case& c : std::vector<Case>{
           {aggregator.get(), "{" + one + R"(, "vlan": )" + deep(20000) + "}]}", 1, ""},
           {aggregator.get(), "{\"x\": " + deep(300000) + ", " + one + "}]}", 1, ""},
           {aggregator.get(), "/* [[[[ \" */ {" + one + "}]} // ]]", 1, ""},
           {aggregator.get(), "{" + one + R"(, "bytes": 1, "ip": )" + deep(600) + "}]}", -1,
            too_deep},
           {aggregator.get(), "{" + one + R"(, "ip": )" + deep(500) + "}]}", 1, ""},
           {aggregator.get(), "{" + one + "}]}" + zero + "{" + one + "}]}", -1, zero_byte},
           {aggregator.get(), "{" + one + "}]}" + zero + "garbage{{", -1, zero_byte},
           {other.get(), "// a \" [[[[\n" + deep(600), -1, "unsupported"},
           {other.get(), deep(300000), -1, "unsupported"},
       }) {
    SCOPED_TRACE(c.text.substr(0, 80));
    EXPECT_EQ(c.result, Insert(*c.channel, c.text));
    if (c.last_line == "unsupported") {
      EXPECT_EQ("sink-sqlite: unsupported data_source on channel other\n", log.Lines().back());
    } else if (!c.last_line.empty()) {
      EXPECT_EQ(c.channel->name + ": " + c.last_line, log.Lines().back());
    }
  }
  EXPECT_EQ((Rows{{"4"}}), Q("SELECT count(*) FROM talkers"));
}
