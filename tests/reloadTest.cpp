// Configuration loading: the file, the defaults record and the channel set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pluginAccess.h"
#include "testSupport.h"
#include "tvException.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using Access = tvsPluginTestAccess;

namespace {

class ReloadTest : public ::testing::Test {
 protected:
  ReloadTest() : plugin("sink", {{"config", dir.File("sink.json")}, {"type", "1"}}) {}

  // Writes the configuration and reloads, swallowing "Found table" lines.
  void Reload(const std::string& config) {
    dir.Write("sink.json", config);
    testing::internal::CaptureStdout();
    try {
      plugin.Reload();
    } catch (...) {
      printed = testing::internal::GetCapturedStdout();
      throw;
    }
    printed = testing::internal::GetCapturedStdout();
  }

  std::string Channel(const std::string& name, const std::string& extra = "") {
    return "\"" + name + R"(": {"db_name": ")" + name + R"(.db", "data_source": "aggregator", )" +
           extra + R"("tables": [{"name": ")" + name +
           R"(_t", "columns": [{"name": "v", "type": "TEXT"}]}]})";
  }
  std::string WithPath(const std::string& members) {
    return R"({"db_path": ")" + dir.path() + "\", " + members + "}";
  }
  std::vector<std::string> Names() { return Access::ChannelNames(plugin); }
  const tvsChannelConfig& Get(const std::string& name) {
    return *Access::Channels(plugin).at(name);
  }

  TempDir dir;
  LogCapture log;
  GlobalConfigScope global;
  tvsPlugin plugin;
  std::string printed;
};

}  // namespace

TEST_F(ReloadTest, LoadsChannelsWithCommentsAndOpensTheirDatabases) {
  Reload("// sink\n" +
         WithPath(R"("purge_in_days": 7, /* two channels */ "channels": {)" + Channel("b") + ", " +
                  Channel("a", R"("purge_in_days": 2, )") + "}"));
  EXPECT_THAT(Names(), ElementsAre("a", "b"));
  EXPECT_EQ("Found table: a_t\nFound table: b_t\n", printed);
  EXPECT_EQ(2, Get("a").purge_in_days);
  EXPECT_EQ(7, Get("b").purge_in_days);
  EXPECT_EQ(dir.path(), Get("b").db_path);
  EXPECT_NE(nullptr, Get("a").db);
  EXPECT_EQ((Rows{{"b_t"}}),
            Query(dir.File("b.db"), "SELECT name FROM sqlite_master WHERE name = 'b_t'"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "sink: initialized\n", "sink: Loading configuration: " + dir.File("sink.json") + "\n",
          "Purging on startup for aggregate channel a.a.db\n",
          "sink-sqlite: purged data older than 2 days from table a_intervals in DB a.db\n",
          "Purging on startup for aggregate channel b.b.db\n",
          "sink-sqlite: purged data older than 7 days from table b_intervals in DB b.db\n"));
}

TEST_F(ReloadTest, MissingFileKeepsEverything) {
  Reload(WithPath("\"channels\": {" + Channel("a") + "}"));
  std::remove(dir.File("sink.json").c_str());
  EXPECT_THAT([&] { plugin.Reload(); },
              ThrowsMessage<tvException>(
                  StrEq("sink: error opening configuration: " + dir.File("sink.json"))));
  EXPECT_THAT(Names(), ElementsAre("a"));
  EXPECT_EQ(dir.path(), Access::Defaults(plugin).db_path);
}

TEST_F(ReloadTest, SyntaxErrorsCarryTheLibraryMessage) {
  struct Case {
    const char* text;
    const char* message;
  };
  for (
      const Case& c : std::vector<Case>{
          {"",
           "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"},
          {R"({"channels": {)",
           "[json.exception.parse_error.101] parse error at line 1, column 15: syntax error while parsing object key - unexpected end of input; expected string literal"},
          {"{} {}",
           "[json.exception.parse_error.101] parse error at line 1, column 4: syntax error while parsing value - unexpected '{'; expected end of input"}}) {
    SCOPED_TRACE(c.text);
    EXPECT_THAT([&] { Reload(c.text); },
                ThrowsMessage<tvException>(StrEq("sink: error loading configuration: " +
                                                 dir.File("sink.json") + ": " + c.message)));
  }
}

TEST_F(ReloadTest, DbPathMustExistAndOldChannelsStay) {
  Reload(WithPath("\"channels\": {" + Channel("a") + "}"));
  EXPECT_THAT(
      [&] {
        Reload(R"({"db_path": ")" + dir.File("nope") + "\", \"channels\": {" + Channel("b") + "}}");
      },
      ThrowsMessage<tvException>(StrEq("sink: database path doesn't exist: " + dir.File("nope"))));
  EXPECT_THAT(Names(), ElementsAre("a"));
  EXPECT_NE(nullptr, Get("a").db);
  EXPECT_EQ(dir.File("nope"), Access::Defaults(plugin).db_path);
}

TEST_F(ReloadTest, DefaultsPersistAcrossLoadsAndSeedOnlyPathAndRetention) {
  GlobalConfigScope variables(std::map<std::string, std::string>{{"DIR", dir.path()}});
  Reload(
      R"({"db_path": "${DIR}", "purge_in_days": 3, "db_name": "top.db", "data_source": "aggregator",
             "channels": {"a": {"db_name": "a.db", "data_source": "x", "tables": [{"name": "t", "columns": [{"name": "v", "type": "TEXT"}]}]}}})");
  EXPECT_EQ(dir.path(), Get("a").db_path);
  EXPECT_EQ(3, Get("a").purge_in_days);
  EXPECT_EQ("x", Get("a").data_source);
  EXPECT_EQ("top.db", Access::Defaults(plugin).db_name);
  EXPECT_EQ("defaults", Access::Defaults(plugin).name);
  // Keys removed from the file keep the value of the previous load.
  Reload(
      R"({"channels": {"b": {"db_name": "b.db", "tables": [{"name": "t", "columns": [{"name": "v", "type": "TEXT"}]}]}}})");
  EXPECT_EQ(dir.path(), Get("b").db_path);
  EXPECT_EQ(3, Get("b").purge_in_days);
  EXPECT_EQ("top.db", Access::Defaults(plugin).db_name);
  EXPECT_THAT(Names(), ElementsAre("b"));
}

TEST_F(ReloadTest, NoTopLevelDbPathUsesTmp) {
  Reload(R"({"channels": {}})");
  EXPECT_EQ("/tmp", Access::Defaults(plugin).db_path);
  EXPECT_EQ(0, Access::Defaults(plugin).purge_in_days);
  EXPECT_THAT(Names(), IsEmpty());
}

TEST_F(ReloadTest, EmptyExpandedDbPathSkipsTheCheck) {
  Reload(R"({"db_path": "", "channels": {}})");
  EXPECT_EQ("", Access::Defaults(plugin).db_path);
}

TEST_F(ReloadTest, ChannelsAbsentEmptyOrDocumentNotAnObject) {
  for (const char* config : {"{}", R"({"channels": {}})", "[1]", "5"}) {
    SCOPED_TRACE(config);
    Reload(WithPath("\"channels\": {" + Channel("a") + "}"));
    Reload(config);
    EXPECT_THAT(Names(), IsEmpty());
  }
}

TEST_F(ReloadTest, ChannelsAsArrayIsATypeErrorAndLeavesNoChannels) {
  Reload(WithPath("\"channels\": {" + Channel("a") + "}"));
  EXPECT_THAT([&] { Reload(WithPath(R"("channels": [1])")); },
              ThrowsMessage<json::type_error>(
                  StrEq("[json.exception.type_error.302] type must be object, but is array")));
  EXPECT_THAT(Names(), IsEmpty());
}

TEST_F(ReloadTest, MissingDbNameStopsBeforeAnyDatabaseOpens) {
  EXPECT_THAT(
      [&] {
        Reload(WithPath("\"channels\": {" + Channel("a") +
                        R"(, "b": {"data_source": "aggregator"}})"));
      },
      ThrowsMessage<tvException>(StrEq("sink: required parameter missing: db_name")));
  EXPECT_THAT(Names(), ElementsAre("a"));
  EXPECT_EQ(nullptr, Get("a").db);
  EXPECT_EQ(0, tv_file_exists(dir.File("a.db")));
  // An empty name is as good as none.
  EXPECT_THAT(
      [&] {
        Reload(WithPath(R"("channels": {"c": {"db_name": "", "data_source": "aggregator"}})"));
      },
      ThrowsMessage<tvException>(StrEq("sink: required parameter missing: db_name")));
}

TEST_F(ReloadTest, OnlyBooleanFalseDisables) {
  Reload(WithPath(
      "\"channels\": {" + Channel("off", R"("enable": false, )") + ", " +
      Channel("num", R"("enable": 0, )") + ", " + Channel("str", R"("enable": "no", )") + ", " +
      Channel("nul", R"("enable": null, )") + ", " + Channel("on", R"("enable": true, )") + "}"));
  EXPECT_THAT(Names(), ElementsAre("nul", "num", "on", "str"));
  EXPECT_EQ(0, tv_file_exists(dir.File("off.db")));
}

TEST_F(ReloadTest, InitFailureStopsLaterChannels) {
  EXPECT_THAT(
      [&] {
        Reload(WithPath("\"channels\": {" + Channel("a") + R"(, "b": {"db_name": "b.db"}, )" +
                        Channel("c") + "}"));
      },
      ThrowsMessage<tvException>(StrEq("Configuration error - no tables defined")));
  EXPECT_THAT(Names(), ElementsAre("a", "b", "c"));
  EXPECT_NE(nullptr, Get("a").db);
  EXPECT_NE(nullptr, Get("b").db);
  EXPECT_EQ(nullptr, Get("c").db);
}

TEST_F(ReloadTest, ChannelDbPathMissingCannotOpen) {
  EXPECT_THAT(
      [&] {
        Reload(WithPath(R"("channels": {"a": {"db_name": "a.db", "db_path": ")" + dir.File("x") +
                        "\"}}"));
      },
      ThrowsMessage<tvException>(
          StrEq("a: cannot open DB: " + dir.File("x") + "/a.db: unable to open database file")));
}

TEST_F(ReloadTest, ThreadLockIsReleasedOnFailure) {
  EXPECT_THROW(Reload(WithPath(R"("channels": [1])")), json::type_error);
  // A lock left held would make this block forever.
  plugin.Lock();
  plugin.Unlock();
  Reload(WithPath(R"("channels": {})"));
}

TEST_F(ReloadTest, NestingAndZeroBytesAreJudgedByTheParser) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string prefix = "sink: error loading configuration: " + dir.File("sink.json") + ": ";
  const std::string too_deep =
      prefix + "JSON exception: arrays and objects nested deeper than 512 levels";
  // A quote inside a comment hides nothing from the parser.
  for (const std::string& text : {R"({"x": )" + deep + "}", "// a \"\n{\"x\": " + deep + "}"}) {
    EXPECT_THAT([&] { Reload(text); }, ThrowsMessage<tvException>(StrEq(too_deep)));
  }
  // Brackets inside comments are no nesting.
  Reload("/* " + std::string(600, '[') + " */ " +
         WithPath(R"("channels": {)" + Channel("a") + "}"));
  EXPECT_THAT(Names(), ElementsAre("a"));
  // The text after a zero byte is not ignored, and names do not end at one.
  EXPECT_THAT([&] { Reload(WithPath(R"("channels": {})") + std::string(1, '\0') + "garbage"); },
              ThrowsMessage<tvException>(StartsWith(prefix + "[json.exception.parse_error.101]")));
  EXPECT_THAT([&] { Reload(WithPath(R"("channels": {"a": {"db_name": "a.db\u0000.txt"}})")); },
              ThrowsMessage<tvException>(StrEq("a: invalid db_name: holds a zero byte")));
  EXPECT_THAT(
      [&] {
        Reload(WithPath(R"("channels": {"a": {"db_name": "a.db", "db_path": "/tmp\u0000/x"}})"));
      },
      ThrowsMessage<tvException>(StrEq("a: invalid db_path: holds a zero byte")));
}

TEST_F(ReloadTest, TopLevelSettingsSeedEveryChannel) {
  Reload(WithPath(R"("journal_mode": "wal", "busy_timeout": 250, "channels": {)" + Channel("a") +
                  ", " + Channel("b", R"("journal_mode": "truncate", "synchronous": "normal", )") +
                  "}"));
  EXPECT_EQ("wal", Get("a").settings.journal_mode);
  EXPECT_EQ(250, Get("a").settings.busy_timeout);
  EXPECT_EQ("", Get("a").settings.synchronous);
  EXPECT_EQ("truncate", Get("b").settings.journal_mode);
  EXPECT_EQ(250, Get("b").settings.busy_timeout);
  EXPECT_EQ("normal", Get("b").settings.synchronous);
  EXPECT_THAT([&] { Reload(WithPath(R"("synchronous": "sometimes", "channels": {})")); },
              ThrowsMessage<tvException>(StrEq("defaults: invalid synchronous: sometimes")));
}
