// The streamed reading of aggregator payloads stores exactly what the
// document path stores, for every shape of payload.
#include "aggregateWriter.h"
#include "channelFixture.h"

using ::testing::ElementsAre;

namespace {

const char kColumns[] = R"({"data_source": "aggregator", "tables": [{"name": "t", "columns": [
    {"name": "a", "type": "TEXT"}, {"name": "b", "type": "INTEGER"},
    {"name": "c", "type": "TEXT", "mapped": "a", "split": 1}, {"name": "d", "type": "REAL"},
    {"name": "e", "type": "TEXT", "mapped": "nested"}]}]})";

class PayloadReaderTest : public ChannelTest {
 protected:
  struct Outcome {
    int result;
    std::vector<std::string> lines;
    Rows rows;
  };

  // Stores `text` through the streamed reader on one file and through the
  // parsed document on another.
  std::pair<Outcome, Outcome> BothWays(const std::string& text) {
    auto streamed = Open(std::string(kColumns).insert(1, R"("db_name": "streamed.db", )"), "c");
    auto parsed = Open(std::string(kColumns).insert(1, R"("db_name": "parsed.db", )"), "c");
    const tvsColumnPlan plan(streamed->tables[0]);
    tvsAggregatePayload payload;
    readAggregatePayload(text, plan, payload);
    return {Run([&] { return writeAggregatePayload(*streamed, payload, plan); }, "streamed.db"),
            Run([&] { return parsed->ProcessAggregateData(json::parse(text)); }, "parsed.db")};
  }

  template <typename Write>
  Outcome Run(Write write, const std::string& file) {
    log.Clear();
    int result;
    try {
      result = write();
    } catch (const json::exception& e) {
      result = -100;
      log.Clear();
      tv_dprintf("raised %s\n", e.what());
    }
    const Rows rows =
        Query(dir.File(file),
              "SELECT i.time_start, i.time_end, t.interval_id, quote(a), quote(b), quote(c), "
              "quote(d), quote(e) FROM c_intervals i JOIN t ON t.interval_id = i.id ORDER BY t.id");
    Exec(dir.File(file), "DELETE FROM c_intervals");
    return {result, log.Lines(), rows};
  }
};

}  // namespace

TEST_F(PayloadReaderTest, StoresWhatTheDocumentPathStores) {
  for (
      const char* text :
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x.y.z", "b": 5, "d": 1.5, "nested": [1, "s", {"k": [2]}]}]})",
       R"({"stats": [{"a": "first"}, 7, "s", [1, [2]], null, {"a": null, "b": null}], "log_time_end": 9, "log_time_start": 8})",
       R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "one", "a": "two", "b": 1, "b": 2.9}]})",
       R"({"log_time_start": 1, "log_time_end": 2, "stats": 5, "stats": [{"a": "last stats wins"}]})",
       R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "dropped"}], "stats": [{"a": "kept"}]})",
       R"({"log_time_start": 1, "log_time_start": 3, "log_time_end": {"x": 1}, "stats": [{}]})",
       R"({"log_time_start": [1, 2], "stats": [{}]})",
       R"({"log_time_start": 1.9, "log_time_end": true, "stats": [{"a": {"z": {"b": [true, null]}, "a": 1}, "nested": "n"}]})",
       R"({"log_time_start": 1, "log_time_end": 0, "stats": [{}]})",
       R"({"log_time_end": 5, "stats": [{}]})",
       R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "ok", "b": 1}, {"b": "not a number"}]})",
       R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"b": true}]})",
       R"({"log_time_start": 1, "log_time_end": 2, "other": {"stats": [1]}, "stats": [{"unmapped": {"deep": [[[]]]}, "a": "é\u0000ü"}]})",
       R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": 18446744073709551615, "b": 18446744073709551615, "nested": -0.0}]})"}) {
    SCOPED_TRACE(text);
    const auto [streamed, parsed] = BothWays(text);
    EXPECT_EQ(parsed.result, streamed.result);
    EXPECT_EQ(parsed.lines, streamed.lines);
    EXPECT_EQ(parsed.rows, streamed.rows);
  }
}

TEST_F(PayloadReaderTest, ReportsWhetherThereIsAnythingToStore) {
  auto channel = Open(std::string(kColumns).insert(1, R"("db_name": "c.db", )"), "c");
  const tvsColumnPlan plan(channel->tables[0]);
  struct Case {
    const char* text;
    bool has_entries;
    size_t entries;
  };
  for (const Case& c : std::vector<Case>{{"{}", false, 0},
                                         {"[1, 2]", false, 0},
                                         {"7", false, 0},
                                         {R"({"stats": 5})", false, 0},
                                         {R"({"stats": {}})", false, 0},
                                         {R"({"stats": []})", false, 0},
                                         {R"({"stats": [1], "stats": {"a": [1]}})", false, 0},
                                         {R"({"x": {"stats": [1]}})", false, 0},
                                         {R"({"stats": [1, {}, [2]]})", true, 3}}) {
    SCOPED_TRACE(c.text);
    tvsAggregatePayload payload;
    readAggregatePayload(c.text, plan, payload);
    EXPECT_EQ(c.has_entries, payload.has_entries);
    EXPECT_EQ(c.entries, payload.entries);
  }
}

TEST_F(PayloadReaderTest, ParseErrorsAreTheLibrarys) {
  auto channel = Open(std::string(kColumns).insert(1, R"("db_name": "c.db", )"), "c");
  const tvsColumnPlan plan(channel->tables[0]);
  for (const char* text :
       {"abc", R"({"stats": [1,]})", "{} {}", R"({"a": 1e999})", "", R"({"a": "\ud800"})"}) {
    SCOPED_TRACE(text);
    std::string expected, actual;
    try {
      const json ignored = json::parse(text, nullptr, true, true);
    } catch (const json::exception& e) {
      expected = e.what();
    }
    tvsAggregatePayload payload;
    try {
      readAggregatePayload(text, plan, payload);
    } catch (const json::exception& e) {
      actual = e.what();
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(expected, actual);
  }
  tvsAggregatePayload payload;
  EXPECT_THROW(readAggregatePayload(
                   R"({"stats": [{"a": )" + std::string(600, '[') + std::string(600, ']') + "}]}",
                   plan, payload),
               tvsNestingError);
  EXPECT_NO_THROW(readAggregatePayload(
      R"({"stats": [{"a": )" + std::string(500, '[') + std::string(500, ']') + "}]}", plan,
      payload));
}

TEST_F(ChannelTest, MalformedColumnSchemaStillRaisesInsideTheTransaction) {
  auto channel = Open(
      R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "t", "columns": [
      {"name": "a", "type": "TEXT", "split": "x"}]}]})");
  EXPECT_EQ(-1, channel->InsertPayload(
                    R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "v"}]})"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "sink-sqlite: processing data source: aggregator\n", "flows: Transaction aborted\n",
          "flows: payload not stored: [json.exception.type_error.302] type must be number, but is string\n"));
  EXPECT_EQ(-1, channel->InsertPayload("not json"));
}
