// Held payloads in the plugin, under windows of a full disk made by the
// fault VFS: stored in order once a window ends, the oldest dropped beyond
// retry_mb, a last try at termination, handed on by a reload, and failures
// that no retry mends never held.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "faultVfs.h"
#include "retryBackoff.h"
#include "testSupport.h"
#include "tvsPlugin.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kTalkers[] = R"([{"name": "talkers", "columns": [
    {"name": "ip", "type": "TEXT", "not_null": true}, {"name": "bytes", "type": "INTEGER"}]}])";

class RetryTest : public ::testing::Test {
 protected:
  void SetUp() override { tvsFaultVfs::SkipDiskSync(true); }
  void TearDown() override {
    tvsFaultVfs::Disarm();
    tvsFaultVfs::SkipDiskSync(false);
    tvsFirstRetryWait = std::chrono::milliseconds(100);
    Stop();
    std::cout.rdbuf(saved_cout);
  }

  // Ends the plugin, if running, and the capture of its output.
  void Stop() {
    if (plugin) {
      plugin->Terminate();
      plugin.reset();
    }
  }

  void WriteConfig(const std::string& members) {
    dir.Write("sink.json", R"({"db_path": ")" + dir.path() +
                               R"(", "channels": {"flows": {"db_name": "flows.db", )" + members +
                               R"("data_source": "aggregator", "tables": )" + kTalkers + "}}}");
  }

  // Starts the plugin on channel "flows" with `members` and waits for its load.
  void Start(const std::string& members) {
    WriteConfig(members);
    plugin = std::make_unique<tvsPlugin>(
        "sink",
        std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
    ASSERT_EQ(0, plugin->Create());
    ASSERT_TRUE(plugin->WaitUntilIdle());
    log.Clear();  // the load's lines
  }

  // Minute k, `entries` entries of `ip` (one of k when empty) and bytes k.
  void Queue(int k, int entries = 3, const std::string& ip = "") {
    std::string stats;
    for (int i = 0; i < entries; ++i) {
      stats += std::string(i ? "," : "") + R"({"ip": ")" +
               (ip.empty() ? "10.0.0." + std::to_string(i) : ip) + R"(", "bytes": )" +
               std::to_string(k) + "}";
    }
    QueueText(R"({"log_time_start": )" + std::to_string(k * 60) + R"(, "log_time_end": )" +
              std::to_string(k * 60 + 60) + R"(, "stats": [)" + stats + "]}");
  }
  void QueueText(const std::string& text) {
    plugin->QueuePayload(std::make_shared<tvPluginSinkPayload>(text.data(), text.size(),
                                                               std::set<std::string>{"flows"}));
  }

  // A disk that refuses every write until Disarm.
  void DiskFull() { tvsFaultVfs::Arm(tvsFaultVfs::kWrite, 1, SQLITE_FULL, dir.path() + "/", true); }

  json Flows() {
    json status = json::object();
    plugin->GetStatus(status);
    return status["channels"]["flows"];
  }
  // Sends the worker round its loop, where it tries what is due, until
  // `done` holds of the channel's status.
  bool Until(const std::function<bool(const json&)>& done) {
    for (int round = 0; round < 1000; ++round) {
      if (done(Flows())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      plugin->WaitUntilIdle();
    }
    return false;
  }
  static bool NoneHeld(const json& flows) { return flows.value("held", -1) == 0; }

  // The minutes stored, in the order of their interval ids.
  std::vector<int> StoredMinutes() {
    std::vector<int> minutes;
    for (const auto& row :
         Query(dir.File("flows.db"), "SELECT time_start / 60 FROM flows_intervals ORDER BY id")) {
      minutes.push_back(std::stoi(row.at(0)));
    }
    return minutes;
  }
  size_t Count(const std::string& line) {
    const auto lines = log.Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }

  TempDir dir;
  LogCapture log;
  GlobalConfigScope global;
  std::unique_ptr<tvsPlugin> plugin;
  // The "Found table" lines of each load go nowhere; gtest's own output does
  // not pass through std::cout.
  std::ostringstream found_lines;
  std::streambuf* saved_cout = std::cout.rdbuf(found_lines.rdbuf());
};

}  // namespace

TEST_F(RetryTest, AFullDiskWindowHoldsPayloadsThatAreStoredInOrderOnceItEnds) {
  for (const char* batch : {"", R"("commit_batch": 8, )"}) {
    SCOPED_TRACE(batch);
    Stop();
    std::filesystem::remove(dir.File("flows.db"));
    log.Clear();
    tvsFirstRetryWait = std::chrono::milliseconds(1);
    Start(std::string(batch) + R"("retry_mb": 1, )");
    // Failures that no retry mends fail at once, held or not: a missing
    // NOT NULL value before the window, a JSON error inside it.
    Queue(1, 1, "x");
    QueueText(R"({"log_time_start": 60, "log_time_end": 120, "stats": [{"bytes": 1}]})");
    ASSERT_TRUE(Until([](const json& f) { return f.value("failed", 0) == 1; }));
    DiskFull();
    for (int k = 2; k <= 30; ++k) {
      Queue(k);
      if (k == 10) QueueText("{not json");
    }
    ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 30; }));
    EXPECT_GT(Flows()["held_bytes"].get<int64_t>(), 30 * 100);
    EXPECT_EQ(1, Flows()["failed"]);
    tvsFaultVfs::Disarm();
    ASSERT_TRUE(Until(NoneHeld));

    std::vector<int> all(30);
    std::iota(all.begin(), all.end(), 1);
    EXPECT_EQ(all, StoredMinutes());
    const json flows = Flows();
    EXPECT_EQ(32, flows["payloads"]);
    EXPECT_EQ(2, flows["failed"]);
    EXPECT_EQ(0, flows["dropped"]);
    EXPECT_EQ(0, flows["held_bytes"]);
    EXPECT_GE(flows["retried"].get<int>(), 1);
    EXPECT_EQ(30u, Count("sink-sqlite: saved 3 rows from payload on channel flows\n") +
                       Count("sink-sqlite: saved 1 rows from payload on channel flows\n"));
    EXPECT_EQ(1u, Count("flows: JSON parse error: [json.exception.parse_error.101] parse error at "
                        "line 1, column 3: syntax error while parsing object key - invalid "
                        "literal; last read: '{no'; expected string literal\n"));
    EXPECT_THAT(log.Lines(), Contains(HasSubstr("flows: payload held for another try (")));
    EXPECT_THAT(log.Lines(), Contains(HasSubstr("flows: held payload stored at try ")));
  }
}

TEST_F(RetryTest, BeyondRetryMbTheOldestHeldPayloadsAreDroppedAndCounted) {
  Start(R"("retry_mb": 1, )");
  DiskFull();
  // About 300 KiB each: the bound holds three of them.
  const std::string ip(100, 'i');
  for (int k = 1; k <= 10; ++k) Queue(k, 3000, ip);
  ASSERT_TRUE(
      Until([](const json& f) { return f.value("held", 0) + f.value("dropped", 0) == 10; }));
  const int dropped = Flows()["dropped"];
  EXPECT_GE(dropped, 6);
  EXPECT_LE(Flows()["held_bytes"].get<int64_t>(), 1 << 20);
  tvsFaultVfs::Disarm();
  ASSERT_TRUE(Until(NoneHeld));

  std::vector<int> newest(10 - dropped);
  std::iota(newest.begin(), newest.end(), dropped + 1);
  EXPECT_EQ(newest, StoredMinutes());
  std::vector<std::string> lines;
  for (int n = 1; n <= dropped; ++n) {
    lines.push_back("flows: held payloads exceed retry_mb: the oldest is dropped (" +
                    std::to_string(n) + " dropped)\n");
  }
  EXPECT_EQ(lines, log.OperatorLines());
  const json flows = Flows();
  EXPECT_EQ(10, flows["payloads"]);
  EXPECT_EQ(dropped, flows["failed"]);
}

TEST_F(RetryTest, TerminationGivesHeldPayloadsALastTryAndReportsTheRestLost) {
  Start(R"("retry_mb": 1, "retry_max_s": 60, )");
  DiskFull();
  for (int k = 1; k <= 5; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 5; }));
  plugin->Terminate();
  plugin->Join();
  EXPECT_EQ(std::vector<std::string>{"flows: 5 held payloads lost at termination\n"},
            log.OperatorLines());
  json flows = Flows();
  EXPECT_EQ(0, flows["held"]);
  EXPECT_EQ(5, flows["dropped"]);
  EXPECT_EQ(5, flows["failed"]);
  Stop();
  EXPECT_TRUE(StoredMinutes().empty());

  // A window that has ended by then: the last try stores them all, though
  // their back-off has a minute to run.
  tvsFaultVfs::Disarm();
  log.Clear();
  Start(R"("retry_mb": 1, "retry_max_s": 60, )");
  DiskFull();
  for (int k = 6; k <= 8; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 3; }));
  tvsFaultVfs::Disarm();
  plugin->Terminate();
  plugin->Join();
  flows = Flows();
  EXPECT_EQ(0, flows["dropped"]);
  EXPECT_EQ(3, flows["rows"].get<int>() / 3);
  EXPECT_EQ((std::vector<int>{6, 7, 8}), StoredMinutes());
  EXPECT_THAT(log.OperatorLines(), Not(Contains(HasSubstr("lost"))));
}

TEST_F(RetryTest, AReloadHandsHeldPayloadsToTheNewRecord) {
  // To a record that holds too, and to one without retry_mb, which tries
  // them once more rather than dropping them.
  for (const char* next : {R"("retry_mb": 2, )", ""}) {
    SCOPED_TRACE(next);
    Stop();
    std::filesystem::remove(dir.File("flows.db"));
    // Held payloads wait three seconds: the window ends before their next try.
    tvsFirstRetryWait = std::chrono::milliseconds(3000);
    Start(R"("retry_mb": 1, )");
    DiskFull();
    for (int k = 1; k <= 4; ++k) Queue(k);
    ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 4; }));
    // The reload itself needs the disk only to read.
    WriteConfig(next);
    plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
    // Without retry_mb the status names no held payloads: the record tries
    // them once, by their deadline or ahead of its next payload.
    const bool holds = *next != '\0';
    ASSERT_TRUE(Until([holds](const json& f) {
      return f.value("payloads", 1) == 0 && (holds ? f.value("held", 0) == 4 : !f.contains("held"));
    }));
    tvsFaultVfs::Disarm();
    Queue(5);
    ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 5; }));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), StoredMinutes());
    EXPECT_EQ(5, Flows()["payloads"]);
    EXPECT_EQ(0, Flows()["failed"]);
    EXPECT_EQ(0, Flows().value("dropped", 0));
  }
}
