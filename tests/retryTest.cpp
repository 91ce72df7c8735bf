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

#include "clock.h"
#include "faultVfs.h"
#include "pluginFixture.h"
#include "retryBackoff.h"
#include "testSupport.h"
#include "tvsPlugin.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kTalkers[] = R"([{"name": "talkers", "columns": [
    {"name": "ip", "type": "TEXT", "not_null": true}, {"name": "bytes", "type": "INTEGER"}]}])";

class RetryTest : public PluginChannelTest {
 protected:
  RetryTest() : PluginChannelTest(kTalkers) {}

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
  // A disk that refuses every write until Disarm.
  void DiskFull() { tvsFaultVfs::Arm(tvsFaultVfs::kWrite, 1, SQLITE_FULL, dir.path() + "/", true); }
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
  size_t CountStarting(const std::string& prefix) {
    const auto lines = log.Lines();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
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

TEST_F(RetryTest, APayloadLargerThanTheBoundFailsAloneAndTheHeldOnesStay) {
  Start(R"("retry_mb": 1, )");
  DiskFull();
  for (int k = 1; k <= 3; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 3; }));
  // About 1.3 MiB, alone beyond the bound. Its outcome is reported in its
  // turn, after the three before it.
  Queue(4, 12000, std::string(100, 'i'));
  ASSERT_TRUE(Until([](const json& f) { return f.value("dropped", 0) == 1; }));
  EXPECT_EQ(3, Flows()["held"]);
  EXPECT_EQ(0, Flows()["failed"]);
  tvsFaultVfs::Disarm();
  for (int k = 5; k <= 6; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 6; }));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 5, 6}), StoredMinutes());
  ASSERT_EQ(1u, log.OperatorLines().size());
  EXPECT_THAT(log.OperatorLines()[0],
              ::testing::MatchesRegex("flows: a payload of [0-9]+ bytes is larger than retry_mb: "
                                      "it is not held \\(1 dropped\\)\n"));
  json status = json::object();
  plugin->GetStatus(status);
  EXPECT_EQ(json::parse(R"([{"failure": 1, "payload": 4, "channel": "flows",
                             "error": "flows: payload larger than retry_mb: not held"}])"),
            status["failures"]);
}

TEST_F(RetryTest, HeldPayloadsOfAChannelAReloadRemovesFailAndAreListed) {
  Start(R"("retry_mb": 1, )");
  DiskFull();
  for (int k = 1; k <= 3; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 3; }));
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {}})");
  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  json status = json::object();
  for (int round = 0; round < 1000 && status.value("failures_total", 0) < 3; ++round) {
    plugin->WaitUntilIdle();
    plugin->GetStatus(status);
  }
  EXPECT_EQ(std::vector<std::string>{"sink: flows: 3 held payloads dropped: the channel is no "
                                     "longer configured\n"},
            log.OperatorLines());
  ASSERT_EQ(3, status["failures_total"]);
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(json({{"failure", k},
                    {"payload", k},
                    {"channel", "flows"},
                    {"error", "flows: held payload dropped: the channel is no longer configured"}}),
              status["failures"][static_cast<size_t>(k - 1)]);
  }
  EXPECT_EQ(4, status["unsettled_from"]);
}

TEST_F(RetryTest, AHeldBatchSaysSoAndOnlyPayloadsThatFailedCountAsRetried) {
  tvsFirstRetryWait = std::chrono::milliseconds(1);
  Start(R"("retry_mb": 1, "commit_batch": 8, )");
  // Every sync fails: the batch is written, its COMMIT fails.
  tvsFaultVfs::Arm(tvsFaultVfs::kSync, 1, SQLITE_IOERR_FSYNC, dir.path() + "/", true);
  for (int k = 1; k <= 2; ++k) Queue(k);
  QueueText("{not json");
  for (int k = 3; k <= 4; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 4; }));
  // The payload that failed in its savepoint is settled, not waiting; it is
  // reported in its turn, after the two before it.
  EXPECT_EQ(0, Flows()["failed"]);
  // Each payload of the batch whose COMMIT failed is held, and says so.
  EXPECT_GE(CountStarting("flows: payload held for another try ("), 4u);
  for (int k = 5; k <= 6; ++k) Queue(k);
  tvsFaultVfs::Disarm();
  ASSERT_TRUE(Until(NoneHeld));
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 7; }));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6}), StoredMinutes());
  EXPECT_EQ(1, Flows()["failed"]);
  // Payloads 5 and 6 waited behind held ones, but never failed themselves.
  EXPECT_EQ(4, Flows()["retried"]);
  EXPECT_EQ(4u, CountStarting("flows: held payload stored at try "));
}

TEST_F(RetryTest, AnExceptionInTheDailyPurgeSkipsThePurgeAndStoringGoesOn) {
  // Any exception the daily path raises: the clock's read, standing in for
  // a pragma that fails for want of memory.
  struct ClockScope {
    std::time_t (*saved)(std::time_t*) = tvsClock;
    ~ClockScope() { tvsClock = saved; }
  } clock_scope;
  tvsClock = [](std::time_t*) -> std::time_t { throw std::runtime_error("no clock"); };
  Start(R"("purge_in_days": 1, )");
  for (int k = 1; k <= 2; ++k) Queue(k);
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 2; }));
  EXPECT_EQ((std::vector<int>{1, 2}), StoredMinutes());
  EXPECT_EQ(2u, Count("flows: daily purge skipped: no clock\n"));
  EXPECT_EQ(0, Flows()["failed"]);
}

TEST_F(RetryTest, ACommitWhoseFileCannotBeAskedStaysInDoubtAndIsNeverWrittenTwice) {
  // The -wal's sync fails at payload 2's COMMIT after its frames were
  // written, and no file opens until the faults end: whether payload 2 is in
  // the file is asked again, before anything else is written.
  for (const bool retry : {false, true}) {
    SCOPED_TRACE(retry ? "retry_mb" : "without retry_mb");
    Stop();
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove(dir.File(std::string("flows.db") + suffix));
    tvsFirstRetryWait = std::chrono::milliseconds(1);
    Start(std::string(retry ? R"("retry_mb": 1, )" : "") +
          R"("journal_mode": "wal", "synchronous": "full", )");
    Queue(1);
    ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 1; }));
    log.Clear();
    tvsFaultVfs::Arm(tvsFaultVfs::kSync | tvsFaultVfs::kOpen, 1, SQLITE_IOERR, dir.path() + "/",
                     true);
    Queue(2);
    Queue(3);
    // Payload 3 came while 2 was in doubt: it waits (retry_mb) or failed.
    ASSERT_TRUE(Until([&](const json& f) {
      return retry ? f.value("held", 0) == 1
                   : CountStarting("flows: payload not stored: whether an earlier COMMIT") == 1;
    }));
    tvsFaultVfs::Disarm();
    Queue(4);
    ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 4; }));
    json status = json::object();
    plugin->GetStatus(status);
    std::vector<int> failed;
    for (const json& failure : status["failures"]) failed.push_back(failure["payload"]);
    EXPECT_EQ(retry ? std::vector<int>() : std::vector<int>({3}), failed);
    Stop();
    // Payload 2 was in the -wal: found there, stored once; payload 3 came
    // while it was in doubt and is held (retry_mb) or failed.
    EXPECT_EQ(retry ? std::vector<int>({1, 2, 3, 4}) : std::vector<int>({1, 2, 4}),
              StoredMinutes());
    EXPECT_EQ(retry ? 3u : 2u, Count("sink-sqlite: saved 3 rows from payload on channel flows\n"));
    EXPECT_EQ(1u, CountStarting("flows: COMMIT reported \"disk I/O error\", but the transaction "
                                "is in the file"));
    EXPECT_EQ(0u, CountStarting("flows: COMMIT failed: "));
  }
}

TEST_F(RetryTest, WhileACommitIsInDoubtNothingElseIsWrittenAndNothingIsLost) {
  // Payloads 2 and 3 are held; at the retry of 2 the journal's deletion at
  // its commit point fails (the transaction did not commit) and so does the
  // reopen that asks (the counted calls 2 and 3 of opens and deletions).
  // Payload 3 must not be written meanwhile: its interval row would take
  // the id the answer is read by, and 2 would be taken for stored.
  tvsFirstRetryWait = std::chrono::milliseconds(1500);
  Start(R"("retry_mb": 1, )");
  Queue(1);
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 1; }));
  DiskFull();
  Queue(2);
  Queue(3);
  ASSERT_TRUE(Until([](const json& f) { return f.value("held", 0) == 2; }));
  tvsFaultVfs::ArmCalls(tvsFaultVfs::kOpen | tvsFaultVfs::kDelete, {2, 3}, SQLITE_IOERR,
                        dir.path() + "/");
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 3; }));
  EXPECT_EQ(2, tvsFaultVfs::Injected());
  EXPECT_EQ(1u, CountStarting("flows: COMMIT failed (disk I/O error), and the file could not be "
                              "opened to see whether it is there: "));
  // A payload that comes while one is in doubt waits behind it, untried.
  tvsFaultVfs::ArmCalls(tvsFaultVfs::kOpen | tvsFaultVfs::kDelete, {}, SQLITE_IOERR,
                        dir.path() + "/");
  Queue(4);
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 4; }));
  tvsFaultVfs::Disarm();
  EXPECT_EQ(0, Flows()["failed"]);
  // Payload 2 alone failed tries of its own; 3 and 4 only waited.
  EXPECT_EQ(1, Flows()["retried"]);
  Stop();
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), StoredMinutes());
  EXPECT_EQ(0u, CountStarting("flows: COMMIT reported"));
}

TEST_F(RetryTest, PayloadsInDoubtAboutAFileAReloadLeavesAreReportedFailed) {
  Start("");
  Queue(1);
  ASSERT_TRUE(Until([](const json& f) { return f.value("payloads", 0) == 1; }));
  // From payload 2's deletion of its journal on, no deletion or open works.
  std::set<int> every;
  for (int n = 2; n < 1000; ++n) every.insert(n);
  tvsFaultVfs::ArmCalls(tvsFaultVfs::kOpen | tvsFaultVfs::kDelete, every, SQLITE_IOERR,
                        dir.File("flows.db"));
  Queue(2);
  ASSERT_TRUE(Until([&](const json&) { return CountStarting("flows: COMMIT failed (") >= 1; }));
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() +
                             R"(", "channels": {"flows": {"db_name": "other.db", )" +
                             R"("data_source": "aggregator", "tables": )" + kTalkers + "}}}");
  plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  json status = json::object();
  for (int round = 0; round < 1000 && status.value("failures_total", 0) < 1; ++round) {
    plugin->WaitUntilIdle();
    plugin->GetStatus(status);
  }
  tvsFaultVfs::Disarm();
  ASSERT_EQ(1, status["failures_total"]);
  EXPECT_EQ(json({{"failure", 1},
                  {"payload", 2},
                  {"channel", "flows"},
                  {"error", "flows: COMMIT failed, and whether it reached " + dir.File("flows.db") +
                                " is not known"}}),
            status["failures"][0]);
  EXPECT_EQ(3, status["unsettled_from"]);
}
