// The fast reader and the JSON library's reader store the same rows and log
// the same lines for every payload; the fast one gives up exactly where it
// could differ.
#include <map>

#include "aggregateWriter.h"
#include "channelFixture.h"
#include "channelState.h"
#include "fastReader.h"
#include "payloadReader.h"

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

  std::unique_ptr<tvsChannelConfig> Channel(const std::string& file) {
    return Open(WithMembers(kColumns, R"("db_name": ")" + file + '"'), "c");
  }

  Outcome Store(tvsChannelConfig& channel, const std::string& text, const std::string& file) {
    log.Clear();
    int result;
    try {
      result = channel.InsertPayload(text);
    } catch (const std::exception& e) {
      result = -100;
      tv_dprintf("raised %s\n", e.what());
    }
    const Rows rows =
        Query(dir.File(file),
              "SELECT i.time_start, i.time_end, t.interval_id, quote(a), quote(b), quote(c), "
              "quote(d), quote(e) FROM c_intervals i LEFT JOIN t ON t.interval_id = i.id "
              "ORDER BY t.id");
    Exec(dir.File(file), "DELETE FROM c_intervals");
    return {result, log.Lines(), rows};
  }
};

struct Case {
  std::string text;
  bool fast;  // whether the fast reader takes it
};

}  // namespace

TEST_F(PayloadReaderTest, BothReadersStoreTheSame) {
  const std::string deep = std::string(100, '[') + std::string(100, ']');
  const std::vector<Case> cases = {
      // Shapes the fast reader takes.
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x.y.z", "b": 5, "d": 1.5, "nested": "n"}]})",
       true},
      {R"({"stats": [{"a": "first"}, 7, "s", [1, [2]], null, {"a": null, "b": null}], "log_time_end": 9, "log_time_start": 8})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "one", "a": "two", "b": 1, "b": 2.9}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": 5, "stats": [{"a": "last stats wins"}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "dropped"}], "stats": [{"a": "kept"}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "kept"}], "stats": {"a": 1}})",
       true},
      {R"({"log_time_start": 1, "log_time_start": 3, "log_time_end": "x", "stats": [{}]})", true},
      {R"({"log_time_start": null, "stats": [{}]})", true},
      {R"({"log_time_start": 1.9, "log_time_end": true, "stats": [{"nested": -0, "a": -0.0, "b": -0.0}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 0, "stats": [{}]})", true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "ok", "b": 1}, {"b": "not a number"}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"b": true}]})", true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": 18446744073709551615, "b": 18446744073709551615, "nested": 1e5}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": 2.5, "b": -3.9, "nested": 0.1}, {"a": 1e308, "b": 1e300}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "other": {"stats": [1]}, "stats": [{"unmapped": {"deep": [[[]]]}, "\u0061": "\u00e9\n\u0000\ud83d\ude00"}]})",
       true},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": []})", true},
      {"  {\"log_time_start\": 1,\t\"log_time_end\": 2, \"stats\": [{\"a\": \"x\"}]}\r\n", true},
      // What only the JSON library's reader takes, or refuses with its own message.
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"nested": [1, "s", {"k": [2]}], "a": {"z": 1, "b": [true]}}]})",
       false},
      {R"({"log_time_start": [1, 2], "stats": [{}]})", false},
      {R"({"log_time_start": 1, "log_time_end": {"x": 1}, "stats": [{}]})", false},
      {R"({"log_time_start": 1, /* c */ "log_time_end": 2, "stats": [{"a": "x"}]} // c)", false},
      {"\xEF\xBB\xBF{\"log_time_start\": 1, \"log_time_end\": 2, \"stats\": [{\"a\": \"bom\"}]}",
       false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x"}]} x)", false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x"}]}{})", false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"b": 18446744073709551616, "a": -9223372036854775809}]})",
       false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": 1e400}]})", false},
      {R"({"log_time_start": 1, "log_time_end": 1.00000000000000000001, "stats": [{"b": 2.0000000000000000000}]})",
       false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x", "vlan": tru}]})", false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x", "vlan": 01}]})", false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x", "vlan": NaN}]})", false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x", "vlan": [1,]}]})", false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "\ud800"}]})", false},
      {"{\"log_time_start\": 1, \"log_time_end\": 2, \"stats\": [{\"a\": \"\xC3\x28\"}]}", false},
      {"{\"log_time_start\": 1, \"log_time_end\": 2, \"stats\": [{\"a\": \"tab\there\"}]}", false},
      {std::string(R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x"}]})") + '\0',
       false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "x", "u": )" + deep + "}]}",
       false},
      {R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"nested": )" + deep + "}]}", false},
      {"[1, 2]", false},
      {"", false},
  };
  auto fast = Channel("fast.db");
  auto reference = Channel("reference.db");
  reference->state->fast_reader.reset();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tvsFastReader reader;
    tvsAggregatePayload payload;
    EXPECT_EQ(c.fast, reader.Read(c.text, fast->state->writer->Plan(), payload));
    const Outcome by_fast = Store(*fast, c.text, "fast.db");
    const Outcome by_reference = Store(*reference, c.text, "reference.db");
    EXPECT_EQ(by_reference.result, by_fast.result);
    EXPECT_EQ(by_reference.lines, by_fast.lines);
    EXPECT_EQ(by_reference.rows, by_fast.rows);
  }
}

TEST_F(PayloadReaderTest, ReadsTheSameValuesAsTheDocument) {
  auto channel = Channel("c.db");
  const tvsColumnPlan& plan = channel->state->writer->Plan();
  for (const char* text :
       {"{}", "[1, 2]", R"({"stats": 5})", R"({"stats": {}})", R"({"stats": []})",
        R"({"stats": [1], "stats": {"a": [1]}})", R"({"x": {"stats": [1]}})",
        R"({"stats": [1, {}, [2], {"a": "s", "b": 2, "q": 3}, {"nested": "n", "b": null}]})"}) {
    SCOPED_TRACE(text);
    const json document = json::parse(text);
    tvsAggregatePayload streamed, parsed, fast;
    readAggregatePayload(text, plan, streamed);
    readAggregateDocument(document, plan, parsed);
    tvsFastReader reader;
    if (!reader.Read(text, plan, fast)) fast.Clear();
    // Per entry and slot the type of the value the writer binds.
    const auto bound = [](const tvsAggregatePayload& read) {
      std::map<std::pair<uint64_t, int>, std::string> types;
      for (tvsMemberRuns run(read.values); run.Valid(); run.Next()) {
        for (size_t i = run.Begin(); i < run.End(); ++i)
          types[{run.Entry(), read.values[i].slot}] = read.values[i].TypeName();
      }
      return std::pair{read.entries, types};
    };
    EXPECT_EQ(bound(streamed), bound(parsed));
    EXPECT_EQ(bound(streamed), bound(fast));
  }
}

TEST_F(PayloadReaderTest, ParseErrorsAreTheLibrarys) {
  auto channel = Channel("c.db");
  const tvsColumnPlan& plan = channel->state->writer->Plan();
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

TEST_F(PayloadReaderTest, MalformedColumnSchemaStillRaisesInsideTheTransaction) {
  auto channel = Open(
      R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "t", "columns": [
      {"name": "a", "type": "TEXT", "split": "x"}]}]})");
  EXPECT_EQ(-1, channel->InsertPayload(
                    R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"a": "v"}]})"));
  EXPECT_THAT(
      log.Lines(),
      testing::ElementsAre(
          "sink-sqlite: processing data source: aggregator\n", "flows: Transaction aborted\n",
          "flows: payload not stored: [json.exception.type_error.302] type must be number, but is string\n"));
  EXPECT_EQ(-1, channel->InsertPayload("not json"));
}
