// The plugin frame: exported symbols, the worker loop, routing and status.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "pluginAccess.h"
#include "testSupport.h"
#include "tvLog.h"
#include "tvsPlugin.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

using Factory = tvPluginSink* (*)(const std::string&, const std::map<std::string, std::string>&);

struct PluginLibrary {
  PluginLibrary() : handle(dlopen(TVS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~PluginLibrary() {
    if (handle) dlclose(handle);
  }
  void* handle;
};

}  // namespace

TEST(PluginExports, DescriptorBytes) {
  PluginLibrary library;
  ASSERT_NE(nullptr, library.handle) << dlerror();
  const void* descriptor = dlsym(library.handle, "tv_plugin_abi");
  ASSERT_NE(nullptr, descriptor);
  const unsigned char expected[32] = {'Z', 'L',  'O',  'K',  32,   0, 0,    0, 15, 0, 0,
                                      0,   0x09, 0x03, 0x23, 0x20, 1, 0,    0, 0,  0, 0,
                                      0,   0,    0x60, 0x0B, 0,    0, 0x48, 0, 0,  0};
  EXPECT_EQ(0, std::memcmp(expected, descriptor, sizeof expected));
}

TEST(PluginExports, FactoryAcceptsTypesOneAndTwoOnly) {
  PluginLibrary library;
  ASSERT_NE(nullptr, library.handle) << dlerror();
  const auto factory = reinterpret_cast<Factory>(dlsym(library.handle, "tvPluginInit"));
  ASSERT_NE(nullptr, factory);
  for (unsigned type : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(type);
    LogCapture log;
    tvPluginSink* plugin =
        factory("sink", {{"config", "/nonexistent.json"}, {"type", std::to_string(type)}});
    if (type == 1 || type == 2) {
      ASSERT_NE(nullptr, plugin);
      EXPECT_EQ(type, plugin->plugin_type);
      std::string text;
      plugin->GetLibrary(text);
      EXPECT_EQ("tavrin-sink-sqlite", text);
      plugin->GetName(text);
      EXPECT_EQ("Tavrin SQLite Sink Plugin", text);
      plugin->GetVersion(text);
      EXPECT_EQ(TVS_VERSION, text);
      delete plugin;
      EXPECT_THAT(log.Lines(), ElementsAre("sink: initialized\n", "sink: destroyed\n"));
    } else {
      EXPECT_EQ(nullptr, plugin);
      EXPECT_THAT(log.Lines(),
                  ElementsAre("sink: initialized\n",
                              "Invalid plugin type: sink [" + std::to_string(type) + "]\n",
                              "sink: destroyed\n"));
      EXPECT_THAT(log.OperatorLines(),
                  ElementsAre("Invalid plugin type: sink [" + std::to_string(type) + "]\n"));
    }
  }
}

namespace {

const char kTalkers[] = R"([{"name": "talkers", "columns": [
    {"name": "ip", "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}]}])";

// A plugin on a configuration with the aggregator channel "b" in a temp dir.
class PluginLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("sink.json",
              R"({"db_path": ")" + dir.path() +
                  R"(", "channels": {"b": {"db_name": "b.db", "data_source": "aggregator",
                               "tables": )" +
                  kTalkers + "}}}");
  }
  void TearDown() override {
    if (plugin) {
      plugin->Terminate();
      plugin.reset();
    }
  }

  void Start() {
    plugin = std::make_unique<tvsPlugin>(
        "sink",
        std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
    ASSERT_EQ(0, plugin->Create());
    ASSERT_TRUE(plugin->WaitUntilIdle());
  }

  // Starts with `texts` already queued for "b", so the worker drains them together.
  void StartQueued(const std::vector<std::string>& texts) {
    plugin = std::make_unique<tvsPlugin>(
        "sink",
        std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
    for (const std::string& text : texts) Queue(text, {"b"});
    ASSERT_EQ(0, plugin->Create());
    ASSERT_TRUE(plugin->WaitUntilIdle());
  }

  // Channel "b" with further members, such as R"("commit_batch": 8)".
  void WriteChannel(const std::string& members) {
    dir.Write("sink.json",
              R"({"db_path": ")" + dir.path() +
                  R"(", "channels": {"b": {"db_name": "b.db", "data_source": "aggregator", )" +
                  members + R"(, "tables": )" + kTalkers + "}}}");
  }

  json ChannelStatus() {
    json status = json::object();
    plugin->GetStatus(status);
    return status["channels"]["b"];
  }

  void Queue(const std::string& text, std::set<std::string> channels) {
    plugin->QueuePayload(std::make_shared<tvPluginSinkPayload>(text.data(), text.size(), channels));
  }

  int64_t Entries() {
    json status = json::object();
    plugin->GetStatus(status);
    return status.at("entries").get<int64_t>();
  }

  int CountLines(const std::string& line) {
    const auto lines = log.Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  TempDir dir;
  LogCapture log;
  GlobalConfigScope global;
  std::unique_ptr<tvsPlugin> plugin;
};

const char kThreeRows[] = R"({"log_time_start": 100, "log_time_end": 160, "stats": [
    {"ip": "10.0.0.1", "bytes": 1}, {"ip": "10.0.0.2", "bytes": 2}, {"ip": "10.0.0.3", "bytes": 3}]})";

}  // namespace

TEST_F(PluginLoopTest, TerminateBeforeStartLogsBannerOnly) {
  plugin = std::make_unique<tvsPlugin>(
      "sink", std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
  plugin->Terminate();
  ASSERT_EQ(0, plugin->Create());
  plugin->Join();
  EXPECT_THAT(log.Lines(), ElementsAre("sink: initialized\n",
                                       "sink: Tavrin SQLite Sink Plugin v" TVS_VERSION "\n"));
  EXPECT_EQ(0, tv_file_exists(dir.File("b.db")));
}

TEST_F(PluginLoopTest, RoutesToConfiguredChannelsAndCountsPositiveResults) {
  Start();
  EXPECT_THAT(log.OperatorLines(),
              ElementsAre("sink: Tavrin SQLite Sink Plugin v" TVS_VERSION "\n"));
  log.Clear();

  Queue(kThreeRows, {"a", "b"});
  Queue(R"({"stats": []})", {"b"});  // 0
  Queue("abc", {"b"});               // -1
  Queue(kThreeRows, {});             // no channel at all
  ASSERT_TRUE(plugin->WaitUntilIdle());

  EXPECT_EQ(3, Entries());
  EXPECT_EQ(1, CountLines("sink: channel not found: a\n"));
  EXPECT_EQ(
      1,
      CountLines(
          "b: JSON parse error: [json.exception.parse_error.101] parse error at line 1, column 1: syntax error while parsing value - invalid literal; last read: 'a'\n"));
  EXPECT_EQ((Rows{{"3"}}), Query(dir.File("b.db"), "SELECT count(*) FROM talkers"));
  EXPECT_EQ((Rows{{"1"}}), Query(dir.File("b.db"), "SELECT count(*) FROM b_intervals"));
}

TEST_F(PluginLoopTest, ReloadEventResetsCountAndOtherEventsAreIgnored) {
  Start();
  Queue(kThreeRows, {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(3, Entries());

  plugin->DispatchEvent(static_cast<tvPlugin::Event>(1), nullptr);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(3, Entries());
  EXPECT_EQ(1, CountLines("sink: Loading configuration: " + dir.File("sink.json") + "\n"));

  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(0, Entries());
  EXPECT_EQ(2, CountLines("sink: Loading configuration: " + dir.File("sink.json") + "\n"));
  // The reloaded channel keeps storing into the same file.
  Queue(kThreeRows, {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(3, Entries());
  EXPECT_EQ((Rows{{"6"}}), Query(dir.File("b.db"), "SELECT count(*) FROM talkers"));
}

TEST_F(PluginLoopTest, ReloadRequestedWhileAReloadRunsIsServedToo) {
  WriteChannel(R"("enable": true)");
  Start();
  // While the reload reads the file, the file changes again and another
  // reload is asked for.
  bool asked = false;
  tvLogHandler previous = tvSetLogHandler(nullptr);
  tvSetLogHandler([&](tvLogLevel level, const std::string& line) {
    previous(level, line);
    if (!asked && line.rfind("sink: Loading configuration: ", 0) == 0) {
      asked = true;
      std::string config = ReadFile(dir.File("sink.json"));
      config.replace(config.find("b.db"), 4, "c.db");
      dir.Write("sink.json", config);
      plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
    }
  });
  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  ASSERT_TRUE(plugin->WaitUntilIdle());
  tvSetLogHandler(previous);
  Queue(kThreeRows, {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_TRUE(asked);
  EXPECT_EQ(3, CountLines("sink: Loading configuration: " + dir.File("sink.json") + "\n"));
  EXPECT_EQ((Rows{{"3"}}), Query(dir.File("c.db"), "SELECT count(*) FROM talkers"));
}

TEST_F(PluginLoopTest, RowCountSaturatesInsteadOfOverflowing) {
  Start();
  tvsPluginTestAccess::SetRowsAdded(*plugin, tvsPlugin::kMaxRowsAdded - 1);
  Queue(kThreeRows, {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(2147483647, Entries());
  Queue(kThreeRows, {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(2147483647, Entries());
}

TEST_F(PluginLoopTest, ConfigurationErrorEndsWorker) {
  dir.Write("sink.json", R"({"channels": {"b": {"data_source": "aggregator"}}})");
  plugin = std::make_unique<tvsPlugin>(
      "sink", std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, plugin->Create());
  EXPECT_FALSE(plugin->WaitUntilIdle());
  EXPECT_EQ("error: sink: required parameter missing: db_name\n",
            testing::internal::GetCapturedStderr());
  EXPECT_TRUE(plugin->EndedWithError());
}

TEST(PluginStatus, DisplaysOnlyUnsignedEntries) {
  tvsPlugin plugin("sink", {{"type", "1"}});
  struct Case {
    json status;
    std::string printed;
  };
  json in_memory = json::object();
  plugin.GetStatus(in_memory);  // a signed integer, as the plugin stores it
  EXPECT_TRUE(in_memory.at("entries").is_number_integer());
  for (const Case& c :
       std::vector<Case>{{json::parse(R"({"entries": 5})"), "[i] rows added: 5\n"},
                         {json::parse(R"({"entries": 0, "other": 1})"), "[i] rows added: 0\n"},
                         {in_memory, ""},
                         {json::parse(R"({"entries": -1})"), ""},
                         {json::parse(R"({"entries": "5"})"), ""},
                         {json::parse(R"({"other": 5})"), ""},
                         {json::parse("[5]"), ""}}) {
    SCOPED_TRACE(c.status.dump());
    testing::internal::CaptureStdout();
    plugin.DisplayStatus(c.status);
    fflush(stdout);
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout());
  }
}

TEST(PluginStatus, GetStatusKeepsOtherMembers) {
  tvsPlugin plugin("sink", {{"type", "1"}});
  json status = {{"agent", "up"}, {"entries", "stale"}};
  plugin.GetStatus(status);
  EXPECT_EQ(json::parse(R"({"agent": "up", "entries": 0, "channels": {}, "failures": [],
                             "failures_total": 0, "unsettled_from": 1})"),
            status);
}

TEST_F(PluginLoopTest, ChannelCountersInStatusSinceTheLastLoad) {
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() +
                             R"(", "purge_in_days": 30, "channels": {"b": {"db_name": "b.db",
      "data_source": "aggregator", "tables": )" +
                             kTalkers + "}}}");
  Start();
  Queue(kThreeRows, {"b"});
  Queue(R"({"stats": []})", {"b"});
  Queue("abc", {"b"});
  Queue(R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "x", "bytes": "many"}]})",
        {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  json status = json::object();
  plugin->GetStatus(status);
  const auto bytes = std::filesystem::file_size(dir.File("b.db"));
  // The start-up purge and the first payload's daily purge.
  EXPECT_EQ(
      json::parse(R"({"payloads": 4, "rows": 3, "failed": 2, "empty": 1, "purges": 2, "last_error":
      "b: payload not stored: [json.exception.type_error.302] type must be number, but is string", "db_bytes": )" +
                  std::to_string(bytes) + "}"),
      status["channels"]["b"]);
  EXPECT_EQ(3, status["entries"]);

  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  status = json::object();
  plugin->GetStatus(status);
  EXPECT_EQ(
      json::parse(
          R"({"payloads": 0, "rows": 0, "failed": 0, "empty": 0, "purges": 1, "last_error": null, "db_bytes": )" +
          std::to_string(std::filesystem::file_size(dir.File("b.db"))) + "}"),
      status["channels"]["b"]);
}

TEST_F(PluginLoopTest, ReloadIsTakenBetweenPayloadsOfADrain) {
  Start();
  log.Clear();
  const std::string saved = "sink-sqlite: saved 3 rows from payload on channel b\n";
  for (int i = 0; i < 300; ++i) Queue(kThreeRows, {"b"});
  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  // Read after the request: at least as many as were written when it came.
  const int written_before = CountLines(saved);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  const auto lines = log.Lines();
  const auto reload = std::find(lines.begin(), lines.end(),
                                "sink: Loading configuration: " + dir.File("sink.json") + "\n");
  ASSERT_NE(lines.end(), reload);
  // After the request only the payload being written when it came.
  EXPECT_LE(std::count(lines.begin(), reload, saved), written_before + 1);
  EXPECT_LT(written_before, 299);  // the request did come during the drain
  EXPECT_EQ(300, CountLines(saved));
  EXPECT_EQ((Rows{{"900", "300"}}),
            Query(dir.File("b.db"), "SELECT count(*), count(DISTINCT interval_id) FROM talkers"));
}

TEST_F(PluginLoopTest, ReloadWhoseDatabaseSetUpFailsKeepsTheRunningChannels) {
  Start();
  Queue(kThreeRows, {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  log.Clear();
  // "b" opens, then "c" cannot: the running "b" is reopened and keeps storing.
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {
      "b": {"db_name": "b.db", "data_source": "aggregator", "tables": )" +
                             kTalkers + R"(},
      "c": {"db_name": "c.db", "db_path": ")" +
                             dir.File("missing") + R"(", "tables": )" + kTalkers + "}}}");
  testing::internal::CaptureStdout();
  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  ASSERT_TRUE(plugin->WaitUntilIdle());
  Queue(kThreeRows, {"b", "c"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  testing::internal::GetCapturedStdout();
  EXPECT_THAT(log.OperatorLines(),
              ElementsAre("sink: reload failed, keeping the running configuration: c: cannot open "
                          "DB: " +
                          dir.File("missing") + "/c.db: unable to open database file\n"));
  EXPECT_EQ(1, CountLines("sink: channel not found: c\n"));
  EXPECT_EQ(6, Entries());  // a failed reload starts no new count
  EXPECT_EQ((Rows{{"6"}}), Query(dir.File("b.db"), "SELECT count(*) FROM talkers"));
  json status = json::object();
  plugin->GetStatus(status);
  EXPECT_EQ(1, status["reload_failures"]);
  EXPECT_EQ("c: cannot open DB: " + dir.File("missing") + "/c.db: unable to open database file",
            status["last_reload_error"]);
}

// A payload whose interval starts at minute k, with `rows` entries.
std::string minutePayload(int k, int rows, const std::string& bytes = "1") {
  std::string stats;
  for (int i = 0; i < rows; ++i) {
    stats += std::string(i ? "," : "") + R"({"ip": "10.0.0.)" + std::to_string(i) +
             R"(", "bytes": )" + bytes + "}";
  }
  return R"({"log_time_start": )" + std::to_string(k * 60) + R"(, "log_time_end": )" +
         std::to_string(k * 60 + 60) + R"(, "stats": [)" + stats + "]}";
}

TEST_F(PluginLoopTest, BatchKeepsEveryPayloadButTheOneThatFails) {
  WriteChannel(R"("commit_batch": 8)");
  StartQueued({minutePayload(1, 3), minutePayload(2, 3), minutePayload(3, 3, R"("x")"),
               minutePayload(4, 3), minutePayload(5, 3)});
  EXPECT_EQ((Rows{{"60"}, {"120"}, {"240"}, {"300"}}),
            Query(dir.File("b.db"), "SELECT time_start FROM b_intervals ORDER BY id"));
  EXPECT_EQ((Rows{{"12"}}), Query(dir.File("b.db"), "SELECT count(*) FROM talkers"));
  // The failure is logged where it happens, the saved lines once committed.
  const auto lines = log.Lines();
  const auto failure = std::find(
      lines.begin(), lines.end(),
      "b: payload not stored: [json.exception.type_error.302] type must be number, but is string\n");
  ASSERT_NE(lines.end(), failure);
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "b: Transaction aborted\n"));
  EXPECT_EQ(0, std::count(lines.begin(), failure,
                          "sink-sqlite: saved 3 rows from payload on channel b\n"));
  EXPECT_EQ(
      4, std::count(failure, lines.end(), "sink-sqlite: saved 3 rows from payload on channel b\n"));
  EXPECT_EQ(12, Entries());
  const json status = ChannelStatus();
  EXPECT_EQ(5, status["payloads"]);
  EXPECT_EQ(1, status["failed"]);
  EXPECT_EQ(12, status["rows"]);

  // A payload that comes alone is committed at once.
  log.Clear();
  Queue(minutePayload(6, 2), {"b"});
  ASSERT_TRUE(plugin->WaitUntilIdle());
  EXPECT_EQ(1, CountLines("sink-sqlite: saved 2 rows from payload on channel b\n"));
  EXPECT_EQ((Rows{{"5"}}), Query(dir.File("b.db"), "SELECT count(*) FROM b_intervals"));
}

TEST_F(PluginLoopTest, BatchWhoseCommitIsRefusedFailsWhole) {
  WriteChannel(R"("commit_batch": 8)");
  StartQueued({minutePayload(1, 1)});
  plugin->Terminate();
  plugin.reset();
  // A reader's read transaction keeps the writer from committing.
  sqlite3* reader = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dir.File("b.db").c_str(), &reader));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM talkers;", nullptr,
                                    nullptr, nullptr));
  log.Clear();
  StartQueued({minutePayload(2, 2), minutePayload(3, 2), minutePayload(4, 2)});
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  EXPECT_EQ(3, CountLines("b: COMMIT failed: database is locked\n"));
  EXPECT_EQ(0, CountLines("sink-sqlite: saved 2 rows from payload on channel b\n"));
  EXPECT_EQ((Rows{{"60"}}), Query(dir.File("b.db"), "SELECT time_start FROM b_intervals"));
  const json status = ChannelStatus();
  EXPECT_EQ(3, status["failed"]);
  EXPECT_EQ(0, status["rows"]);
  EXPECT_EQ("b: COMMIT failed: database is locked", status["last_error"]);
}

TEST_F(PluginLoopTest, SizeCapKeepsTheFileUnderItsBoundAndTheNewestIntervals) {
  WriteChannel(R"("max_db_mb": 1, "auto_vacuum": "incremental", "commit_batch": 16)");
  // About 4 MiB of entry rows, four times the bound.
  std::vector<std::string> texts;
  for (int k = 1; k <= 400; ++k) texts.push_back(minutePayload(k, 100));
  StartQueued(texts);
  EXPECT_LE(std::filesystem::file_size(dir.File("b.db")), 1u << 20);
  EXPECT_EQ((Rows{{"24000"}}), Query(dir.File("b.db"), "SELECT max(time_start) FROM b_intervals"));
  const Rows kept = Query(dir.File("b.db"),
                          "SELECT count(*), max(time_start) / 60 - min(time_start) / 60 + 1 FROM "
                          "b_intervals");
  EXPECT_EQ(kept.at(0).at(0), kept.at(0).at(1));  // a run of the newest minutes
  EXPECT_GT(std::stoi(kept.at(0).at(0)), 20);
  EXPECT_EQ(
      (Rows{{"0"}}),
      Query(dir.File("b.db"),
            "SELECT count(*) FROM talkers WHERE interval_id NOT IN (SELECT id FROM b_intervals)"));
  const json status = ChannelStatus();
  EXPECT_EQ(400, status["payloads"]);
  EXPECT_EQ(0, status["failed"]);
  EXPECT_GT(status["cap_purges"].get<int>(), 0);
  EXPECT_LE(status["db_used_bytes"].get<int64_t>(), 1 << 20);
  const auto lines = log.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("b: size cap: deleted ", 0) == 0 &&
           line.find(" bytes used\n") != std::string::npos;
  }));
}
