// The channel record: Load and the default columns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testSupport.h"
#include "tvException.h"
#include "tvsChannelConfig.h"

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(ChannelLoad, OnlyDbNameKeepsSeededValues) {
  GlobalConfigScope global;
  tvsChannelConfig channel;
  channel.db_path = "/var/lib/sink";
  channel.purge_in_days = 30;
  channel.Load("flows", json::parse(R"({"db_name": "flows.db"})"));
  EXPECT_EQ("flows", channel.name);
  EXPECT_EQ("/var/lib/sink", channel.db_path);
  EXPECT_EQ("flows.db", channel.db_name);
  EXPECT_EQ(30, channel.purge_in_days);
  EXPECT_EQ("", channel.data_source);
  EXPECT_TRUE(channel.tables.is_null());
  EXPECT_EQ(0, channel.last_purge);
  EXPECT_EQ(nullptr, channel.db);
}

TEST(ChannelLoad, FreshRecordDefaults) {
  tvsChannelConfig channel;
  EXPECT_EQ("/tmp", channel.db_path);
  EXPECT_EQ(0, channel.purge_in_days);
  EXPECT_EQ("", channel.name);
  EXPECT_TRUE(channel.tables.is_null());
}

TEST(ChannelLoad, PurgeInDaysTakesIntegersOnlyAndClampsToInt32) {
  GlobalConfigScope global;
  struct Case {
    const char* value;
    int32_t expected;
  };
  for (const Case& c : std::vector<Case>{{"7.5", 30},
                                         {"\"7\"", 30},
                                         {"true", 30},
                                         {"null", 30},
                                         {"-3", -3},
                                         {"0", 0},
                                         {"7", 7},
                                         {"4294967297", 2147483647},
                                         {"18446744073709551615", 2147483647},
                                         {"-4294967297", -2147483647 - 1},
                                         {"2147483647", 2147483647}}) {
    SCOPED_TRACE(c.value);
    tvsChannelConfig channel;
    channel.purge_in_days = 30;
    channel.Load("c", json::parse(std::string(R"({"purge_in_days": )") + c.value + "}"));
    EXPECT_EQ(c.expected, channel.purge_in_days);
  }
}

TEST(ChannelLoad, WrongTypesAreIgnored) {
  GlobalConfigScope global;
  tvsChannelConfig channel;
  channel.db_path = "/seeded";
  channel.Load("c", json::parse(R"({"db_path": 5, "db_name": ["x"], "data_source": 1,
                                    "tables": {"name": "t"}})"));
  EXPECT_EQ("/seeded", channel.db_path);
  EXPECT_EQ("", channel.db_name);
  EXPECT_EQ("", channel.data_source);
  EXPECT_TRUE(channel.tables.is_null());
  channel.Load("c", json::parse(R"({"db_path": ["/a"]})"));
  EXPECT_EQ("/seeded", channel.db_path);
}

TEST(ChannelLoad, NonObjectChannelSetsOnlyName) {
  GlobalConfigScope global;
  for (const char* value : {"null", "3", "[1, 2]", "\"text\""}) {
    SCOPED_TRACE(value);
    tvsChannelConfig channel;
    channel.db_path = "/seeded";
    channel.purge_in_days = 4;
    channel.Load("c", json::parse(value));
    EXPECT_EQ("c", channel.name);
    EXPECT_EQ("/seeded", channel.db_path);
    EXPECT_EQ(4, channel.purge_in_days);
    EXPECT_EQ("", channel.db_name);
  }
}

TEST(ChannelLoad, DbPathExpandsHostVariables) {
  GlobalConfigScope global(std::map<std::string, std::string>{{"DATA", "/var/lib/tavrin"}});
  tvsChannelConfig channel;
  channel.Load("c", json::parse(R"({"db_path": "${DATA}/sink/${UNKNOWN}"})"));
  EXPECT_EQ("/var/lib/tavrin/sink/${UNKNOWN}", channel.db_path);
}

TEST(ChannelLoad, MissingGlobalConfigurationStopsLoad) {
  tvGlobalConfig* saved = tvGlobalConfig::instance;
  tvGlobalConfig::instance = nullptr;
  tvsChannelConfig channel;
  const json config = json::parse(R"({"purge_in_days": 9, "db_path": "/x", "db_name": "c.db",
      "data_source": "aggregator", "tables": [{"name": "t", "columns": []}]})");
  EXPECT_THAT([&] { channel.Load("c", config); },
              ThrowsMessage<tvException>(StrEq(
                  "static tvGlobalConfig &tvGlobalConfig::GetInstance(): instance not found")));
  tvGlobalConfig::instance = saved;
  EXPECT_EQ("c", channel.name);
  EXPECT_EQ(9, channel.purge_in_days);
  EXPECT_EQ("/tmp", channel.db_path);
  EXPECT_EQ("", channel.db_name);
  EXPECT_TRUE(channel.tables.is_null());
}

TEST(ChannelLoad, WithoutDbPathNoGlobalConfigurationIsNeeded) {
  tvGlobalConfig* saved = tvGlobalConfig::instance;
  tvGlobalConfig::instance = nullptr;
  tvsChannelConfig channel;
  EXPECT_NO_THROW(channel.Load("c", json::parse(R"({"db_name": "c.db"})")));
  tvGlobalConfig::instance = saved;
  EXPECT_EQ("c.db", channel.db_name);
}

namespace {

json loadTables(const std::string& name, const std::string& source, const std::string& tables) {
  GlobalConfigScope global;
  tvsChannelConfig channel;
  channel.Load(name, json{{"data_source", source}, {"tables", json::parse(tables)}});
  return channel.tables;
}

const char kDefaultColumns[] =
    R"({"name": "id", "type": "INTEGER", "primary_key": true, "autoincrement": false},
       {"name": "interval_id", "type": "INTEGER", "not_null": true,
        "foreign_key": {"table": "flows_intervals", "column": "id", "on_delete": "CASCADE"}})";

}  // namespace

TEST(DefaultColumns, AggregatorTablesGainIdAndIntervalId) {
  EXPECT_EQ(
      json::parse(std::string(R"([{"name": "talkers", "extra": 1, "columns": [)") +
                  kDefaultColumns + R"(, {"name": "ip", "type": "TEXT", "anything": [1]}]}])"),
      loadTables(
          "flows", "aggregator",
          R"([{"name": "talkers", "extra": 1, "columns": [{"name": "ip", "type": "TEXT", "anything": [1]}]}])"));
}

TEST(DefaultColumns, OtherDataSourcesAreLeftAlone) {
  const std::string tables = R"([{"name": "t", "columns": [{"name": "ip", "type": "TEXT"}]}])";
  for (const char* source : {"Aggregator", "aggregator ", "flows", ""}) {
    SCOPED_TRACE(source);
    EXPECT_EQ(json::parse(tables), loadTables("flows", source, tables));
  }
}

TEST(DefaultColumns, ColumnsReplacedWhenNotAnArray) {
  const json expected =
      json::parse(std::string(R"([{"name": "t", "columns": [)") + kDefaultColumns + "]}]");
  for (const char* table :
       {R"({"name": "t"})", R"({"name": "t", "columns": "x"})",
        R"({"name": "t", "columns": {"a": 1}})", R"({"name": "t", "columns": []})"}) {
    SCOPED_TRACE(table);
    EXPECT_EQ(expected, loadTables("flows", "aggregator", std::string("[") + table + "]"));
  }
}

TEST(DefaultColumns, NonObjectTablesKeptAndOthersCompleted) {
  const json tables = loadTables("flows", "aggregator",
                                 R"(["text", 5, {"name": "a", "columns": []}, {"name": "b"}])");
  ASSERT_EQ(4u, tables.size());
  EXPECT_EQ("text", tables[0]);
  EXPECT_EQ(5, tables[1]);
  // Both tables reference the intervals table named after the channel.
  EXPECT_EQ("flows_intervals", tables[2]["columns"][1]["foreign_key"]["table"]);
  EXPECT_EQ("flows_intervals", tables[3]["columns"][1]["foreign_key"]["table"]);
}

TEST(DefaultColumns, TablesNotANonEmptyArrayNothingHappens) {
  tvsChannelConfig channel;
  channel.name = "flows";
  channel.data_source = "aggregator";
  for (const char* tables : {"null", "{}", "[]", "3"}) {
    channel.tables = json::parse(tables);
    channel.AddDefaultColumns();
    EXPECT_EQ(json::parse(tables), channel.tables);
  }
}

TEST(DefaultColumns, SecondCallPrependsAgainAndDuplicatesAreNotChecked) {
  tvsChannelConfig channel;
  channel.name = "flows";
  channel.data_source = "aggregator";
  channel.tables =
      json::parse(R"([{"name": "t", "columns": [{"name": "id", "type": "INTEGER"}]}])");
  channel.AddDefaultColumns();
  channel.AddDefaultColumns();
  const json& columns = channel.tables[0]["columns"];
  ASSERT_EQ(5u, columns.size());
  std::vector<std::string> names;
  for (const json& column : columns) names.push_back(column["name"]);
  EXPECT_EQ((std::vector<std::string>{"id", "interval_id", "id", "interval_id", "id"}), names);
}
