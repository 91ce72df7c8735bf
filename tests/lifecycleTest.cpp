// Where the write path's options meet each other, the clock and large
// configurations, end to end through the host: a reload that turns batches
// on in a stream, two channels on one file, the size cap against the commit
// that crossed it, a clock that jumps and comes back, schema typos, and
// payloads held while a reader keeps the file from being written.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/types.h>

#include "hostProcess.h"
#include "testSupport.h"

using ::testing::HasSubstr;

namespace {

const char kTalkers[] = R"([{"name": "talkers", "columns": [
    {"name": "ip", "type": "TEXT", "not_null": true}, {"name": "bytes", "type": "INTEGER"}]}])";

class LifecycleTest : public ::testing::Test {
 protected:
  // One channel "flows" with `members` (such as R"("commit_batch": 8, )").
  void WriteConfig(const std::string& members) {
    dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {"flows": {)" +
                               members + R"("db_name": "flows.db", "data_source": "aggregator",
                               "tables": )" +
                               kTalkers + "}}}");
  }

  std::vector<std::string> Args(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"-c", dir.File("sink.json"), "-d"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  // Minute k with `entries` entries; every entry's bytes is k.
  static std::string Payload(int k, int entries) {
    std::string stats;
    for (int i = 0; i < entries; ++i) {
      stats += std::string(i ? "," : "") + R"({"ip": "10.)" + std::to_string(i / 250 % 250) + "." +
               std::to_string(i % 250) + R"(.1", "bytes": )" + std::to_string(k) + "}";
    }
    return R"({"log_time_start": )" + std::to_string(k * 60) + R"(, "log_time_end": )" +
           std::to_string(k * 60 + 60) + R"(, "stats": [)" + stats + "]}\n";
  }

  int64_t Count(const std::string& sql, const std::string& file = "flows.db") {
    return std::stoll(Query(dir.File(file), sql).at(0).at(0));
  }

  static size_t Occurrences(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++found;
    return found;
  }

  TempDir dir;
};

}  // namespace

TEST_F(LifecycleTest, ReloadsTurningWriteOptionsOnOrOffInAStreamLoseNoPayload) {
  const std::vector<std::pair<std::string, std::string>> reloads = {
      {"", R"("commit_batch": 1000, )"},
      // Read-ahead takes the payload after a group before the reload.
      {R"("read_ahead": true, )", ""},
      {"", R"("read_ahead": true, )"}};
  for (const auto& [before, after] : reloads) {
    SCOPED_TRACE(before + " -> " + after);
    std::filesystem::remove(dir.File("flows.db"));
    WriteConfig(before);
    HostProcess host(Args({"-C", "flows"}), dir.path());
    for (int k = 1; k <= 20; ++k) host.Write(Payload(k, 2000));
    ASSERT_TRUE(Eventually(
        [&] { return Occurrences(host.Stderr(), "sink-sqlite: saved 2000 rows") >= 8; }));
    WriteConfig(after);
    host.Signal(SIGHUP);
    for (int k = 21; k <= 120; ++k) host.Write(Payload(k, 2000));
    host.CloseInput();
    EXPECT_EQ(0, host.Wait());
    EXPECT_EQ(120, Count("SELECT count(DISTINCT time_start) FROM flows_intervals"));
    EXPECT_EQ(240000, Count("SELECT count(*) FROM talkers"));
    const std::string err = host.Stderr();
    EXPECT_EQ(120u,
              Occurrences(err, "sink-sqlite: saved 2000 rows from payload on channel flows\n"));
    EXPECT_EQ(2u, Occurrences(err, "Loading configuration"));
    // Counted since the reload: every payload it took was stored.
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(
        err, summary, std::regex("channel flows: ([0-9]+) payloads, ([0-9]+) stored, 0 failed")));
    EXPECT_EQ(summary[1], summary[2]);
    EXPECT_GT(std::stoi(summary[1]), 0);
  }
}

TEST_F(LifecycleTest, ABatchingChannelLeavesAnotherOnTheSameFileStoring) {
  const std::string table = R"(", "tables": [{"name": ")";
  const std::string columns = R"(", "columns": [{"name": "bytes", "type": "INTEGER"}]}]})";
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {
      "a": {"db_name": "shared.db", "commit_batch": 8, "data_source": "aggregator)" +
                             table + "a_rows" + columns + R"(,
      "b": {"db_name": "shared.db", "data_source": "aggregator)" +
                             table + "b_rows" + columns + "}}");
  std::string input;
  for (int k = 1; k <= 40; ++k) input += Payload(k, 3);
  const HostResult result = RunHost(Args({"-C", "a", "-C", "b"}), dir.path(), input);
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(40, Count("SELECT count(*) FROM a_intervals", "shared.db"));
  EXPECT_EQ(40, Count("SELECT count(*) FROM b_intervals", "shared.db"));
  EXPECT_EQ(120, Count("SELECT count(*) FROM a_rows", "shared.db"));
  EXPECT_EQ(120, Count("SELECT count(*) FROM b_rows", "shared.db"));
  EXPECT_THAT(result.err, HasSubstr("channel a: 40 payloads, 40 stored, 0 failed"));
  EXPECT_THAT(result.err, HasSubstr("channel b: 40 payloads, 40 stored, 0 failed"));
}

TEST_F(LifecycleTest, SizeCapKeepsTheCommitThatCrossedTheBoundAndStopsNearNinetyPercent) {
  WriteConfig(R"("max_db_mb": 1, )");
  // One payload larger than the bound by itself stays whole.
  HostResult result = RunHost(Args({"-C", "flows"}), dir.path(), Payload(1, 50000));
  EXPECT_EQ(0, result.code);
  EXPECT_THAT(result.err,
              HasSubstr("sink-sqlite: saved 50000 rows from payload on channel flows\n"));
  EXPECT_THAT(result.err, HasSubstr("flows: size cap: deleted 0 intervals, "));
  EXPECT_THAT(result.err, HasSubstr(" bytes used; the newest commit alone exceeds the bound\n"));
  EXPECT_EQ(50000, Count("SELECT count(*) FROM talkers WHERE bytes = 1"));

  // Payloads of about 20 KiB: each cap deletes about what it must.
  std::filesystem::remove(dir.File("flows.db"));
  std::string input;
  for (int k = 1; k <= 150; ++k) input += Payload(k, 400);
  result = RunHost(Args({"-C", "flows"}), dir.path(), input);
  EXPECT_EQ(0, result.code);
  EXPECT_GT(Occurrences(result.err, "flows: size cap: deleted "), 0u);
  const int64_t used = Count(
      "SELECT (page_count - freelist_count) * page_size FROM pragma_page_count, "
      "pragma_freelist_count, pragma_page_size");
  EXPECT_LE(used, 1 << 20);
  EXPECT_GE(used, (1 << 20) * 8 / 10);
  // The newest minutes, each whole.
  EXPECT_EQ(150, Count("SELECT max(time_start) / 60 FROM flows_intervals"));
  EXPECT_EQ(0, Count("SELECT count(*) FROM flows_intervals i WHERE (SELECT count(*) FROM talkers "
                     "WHERE interval_id = i.id) != 400"));
  EXPECT_EQ(Count("SELECT count(*) FROM flows_intervals"),
            Count("SELECT max(time_start) / 60 - min(time_start) / 60 + 1 FROM flows_intervals"));
}

TEST_F(LifecycleTest, ClockSetBackAfterAJumpAheadStillPurges) {
  if (kSanitized) GTEST_SKIP() << "libfaketime cannot be preloaded ahead of the sanitizers";
  const std::string faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  if (!std::filesystem::exists(faketime)) FAIL() << "libfaketime is missing: run scripts/setup.sh";
  WriteConfig(R"("purge_in_days": 1, )");
  dir.Write("clock", "+3650d\n");
  HostLaunch launch;
  launch.env = {"LD_PRELOAD=" + faketime, "FAKETIME_TIMESTAMP_FILE=" + dir.File("clock"),
                "FAKETIME_NO_CACHE=1"};
  HostProcess host(Args({"-C", "flows"}), dir.path(), launch);
  host.Write(Payload(1, 1));
  ASSERT_TRUE(Eventually([&] {
    return Occurrences(host.Stderr(), "sink-sqlite: purged data older than 1 days") >= 2;
  }));
  // Back to the right time, with a row two days old: the next payload's
  // daily purge must take it.
  dir.Write("clock", "+0d\n");
  Exec(dir.File("flows.db"),
       "INSERT INTO flows_intervals (time_start, time_end, created_at) VALUES (7, 8, "
       "datetime('now', '-2 days'))");
  host.Write(Payload(2, 1));
  host.CloseInput();
  EXPECT_EQ(0, host.Wait());
  EXPECT_EQ(2u, Occurrences(host.Stderr(),
                            "sink-sqlite: running daily purge for aggregate flows.flows.db\n"));
  EXPECT_EQ(0, Count("SELECT count(*) FROM flows_intervals WHERE time_start = 7"));
  EXPECT_EQ(2, Count("SELECT count(*) FROM flows_intervals"));
}

TEST_F(LifecycleTest, LargeConfigurationsLoadInLinearTime) {
  // 100,000 channel objects took minutes while each object's end scanned
  // its parent's members; the bound leaves room for the slowest build.
  std::string channels;
  for (int i = 0; i < 100000; ++i)
    channels += R"("off)" + std::to_string(i) + R"(": {"enable": false}, )";
  dir.Write("sink.json",
            R"({"db_path": ")" + dir.path() + R"(", "channels": {)" + channels +
                R"("flows": {"db_name": "flows.db", "data_source": "aggregator", "tables": )" +
                kTalkers + "}}}");
  HostProcess host({"-c", dir.File("sink.json"), "-C", "flows"}, dir.path());
  host.Write(Payload(1, 2));
  host.CloseInput();
  ASSERT_TRUE(host.ExitsWithin(60));
  EXPECT_EQ(0, host.Wait());
  EXPECT_EQ(2, Count("SELECT count(*) FROM talkers"));
}

TEST_F(LifecycleTest, TyposInTableColumnAndForeignKeySchemasAreWarnedOf) {
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {"flows": {
      "db_name": "flows.db", "data_source": "aggregator", "tables": [
        {"name": "talkers", "columns": [{"name": "ip", "type": "TEXT", "not_nul": true},
                                        {"name": "bytes", "type": "INTEGER", "maped": "octets"},
                                        {"name": "peer", "type": "INTEGER", "foreign_key": {"table": "t", "column": "id", "on_delet": "CASCADE"}}]},
        {"name": "other", "colums": []}]}}})");
  const HostResult result = RunHost({"-c", dir.File("sink.json"), "-C", "flows"}, dir.path(), "");
  EXPECT_EQ(
      "sink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION
      "\n"
      "sink-sqlite: channel flows table talkers column ip: unknown key \"not_nul\" ignored\n"
      "sink-sqlite: channel flows table talkers column bytes: unknown key \"maped\" ignored\n"
      "sink-sqlite: channel flows table talkers column peer foreign_key: unknown key \"on_delet\" ignored\n"
      "sink-sqlite: channel flows table other: unknown key \"colums\" ignored\n",
      result.err.substr(0, result.err.find("tavrin-sink-host: ")));
}

TEST_F(LifecycleTest, AnOpenThatFellBackToReadOnlyFailsAtLoadReloadAndReopen) {
  // strace makes the n-th open of the database file fail with EMFILE, as a
  // descriptor shortage would; SQLite then opens it read-only without a word.
  WriteConfig("");
  ASSERT_EQ(0, RunHost(Args({"-C", "flows"}), dir.path(), Payload(1, 1)).code);
  const std::string path = dir.File("flows.db");
  const auto openFails = [&](int n) {
    HostLaunch launch;
    // LeakSanitizer cannot run under a tracer.
    launch.env = {"ASAN_OPTIONS=detect_leaks=0"};
    launch.wrapper = {
        "strace",       "-f",        "-qq",
        "-o",           "/dev/null", "-e",
        "trace=openat", "-e",        "inject=openat:error=EMFILE:when=" + std::to_string(n),
        "-P",           path};
    return launch;
  };
  const std::string read_only =
      "cannot open DB: " + path + ": the file could only be opened read-only";

  // At the first load: a load error.
  HostResult result = RunHost(Args({"-C", "flows"}), dir.path(), Payload(2, 1), openFails(1));
  EXPECT_EQ(1, result.code);
  EXPECT_THAT(result.err, HasSubstr("error: flows: " + read_only + "\n"));

  // At a reload: the running configuration stays and keeps storing.
  {
    HostProcess host(Args({"-C", "flows"}), dir.path(), openFails(2));
    host.Write(Payload(3, 1));
    ASSERT_TRUE(Eventually([&] { return Occurrences(host.Stderr(), "saved 1 rows") >= 1; }));
    // The host runs under strace, which keeps signals to itself.
    const std::string children = ReadFile("/proc/" + std::to_string(host.Pid()) + "/task/" +
                                          std::to_string(host.Pid()) + "/children");
    ASSERT_EQ(0, kill(std::stoi(children), SIGHUP));
    ASSERT_TRUE(Eventually([&] { return Occurrences(host.Stderr(), "reload failed") >= 1; }));
    host.Write(Payload(4, 1));
    host.CloseInput();
    EXPECT_EQ(0, host.Wait());
    EXPECT_THAT(host.Stderr(),
                HasSubstr("sink-sqlite: reload failed, keeping the running configuration: flows: " +
                          read_only + "\n"));
  }
  EXPECT_EQ(3, Count("SELECT count(*) FROM flows_intervals WHERE time_start IN (60, 180, 240)"));

  // At a reopen of a replaced file: that payload fails, the next reopens.
  {
    HostProcess host(Args({"-C", "flows"}), dir.path(), openFails(2));
    host.Write(Payload(5, 1));
    ASSERT_TRUE(Eventually([&] { return Occurrences(host.Stderr(), "saved 1 rows") >= 1; }));
    std::filesystem::copy_file(path, dir.File("copy.db"));
    std::filesystem::rename(dir.File("copy.db"), path);
    host.Write(Payload(6, 1));
    ASSERT_TRUE(
        Eventually([&] { return Occurrences(host.Stderr(), "payload not stored") >= 1; }, 3))
        << host.Stderr();
    host.Write(Payload(7, 1));
    host.CloseInput();
    EXPECT_EQ(3, host.Wait());  // a payload failed
    EXPECT_THAT(host.Stderr(), HasSubstr("flows: payload not stored: " + read_only + "\n"));
    EXPECT_EQ(2u, Occurrences(host.Stderr(), "saved 1 rows"));
  }
  EXPECT_EQ(0, Count("SELECT count(*) FROM flows_intervals WHERE time_start = 360"));
  EXPECT_EQ(1, Count("SELECT count(*) FROM flows_intervals WHERE time_start = 420"));
}

namespace {

// A reader in the middle of a read transaction: in rollback-journal mode no
// writer can commit until it ends.
class ReadTransaction {
 public:
  explicit ReadTransaction(const std::string& path) {
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN; SELECT count(*) FROM flows_intervals;", nullptr, nullptr, nullptr);
  }
  ~ReadTransaction() {
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  sqlite3* db = nullptr;
};

}  // namespace

TEST_F(LifecycleTest, WithRetryAReaderHoldingTheFileDelaysPayloadsButLosesNone) {
  // Alone, and with the write options that meet held payloads.
  for (const char* others : {"", R"("read_ahead": true, "commit_batch": 8, )"}) {
    SCOPED_TRACE(others);
    std::filesystem::remove(dir.File("flows.db"));
    WriteConfig(std::string(R"("retry_mb": 8, "retry_max_s": 1, )") + others);
    ASSERT_EQ(0, RunHost(Args({"-C", "flows"}), dir.path()).code);
    HostProcess host(Args({"-C", "flows", "--status-json"}), dir.path());
    {
      const ReadTransaction reader(dir.File("flows.db"));
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      for (int k = 1; k <= 100; ++k) {
        host.Write(Payload(k, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::this_thread::sleep_until(until);
    }
    host.CloseInput();
    EXPECT_EQ(0, host.Wait()) << host.Stderr();
    EXPECT_EQ(100, Count("SELECT count(*) FROM flows_intervals"));
    EXPECT_EQ(2000, Count("SELECT count(*) FROM talkers"));
    // Interval ids follow the minutes: the order the payloads came in.
    EXPECT_EQ(0, Count("SELECT count(*) FROM flows_intervals a JOIN flows_intervals b "
                       "ON a.id < b.id AND a.time_start > b.time_start"));
    const std::string out = host.Stdout();
    const json status = json::parse(out.substr(out.find('{')));
    const json& flows = status["channels"]["flows"];
    EXPECT_GT(flows["retried"].get<int>(), 0);
    EXPECT_EQ(0, flows["dropped"]);
    EXPECT_EQ(0, flows["held"]);
    EXPECT_THAT(host.Stderr(),
                HasSubstr("channel flows: 100 payloads, 100 stored, 0 failed, 0 empty, "
                          "2000 rows\n"));
  }
}

TEST_F(LifecycleTest, WithRetryTerminationInAWindowReportsTheLostAndAKillLeavesNothingPartial) {
  WriteConfig(R"("retry_mb": 8, )");
  ASSERT_EQ(0, RunHost(Args({"-C", "flows"}), dir.path(), Payload(1, 20)).code);
  {
    const ReadTransaction reader(dir.File("flows.db"));
    {
      HostProcess host({"-c", dir.File("sink.json"), "-C", "flows"}, dir.path());
      for (int k = 2; k <= 6; ++k) host.Write(Payload(k, 20));
      host.CloseInput();
      ASSERT_TRUE(Eventually([&] {
        return host.Stderr().find("end of input; waiting for 5 payloads held for another try") !=
               std::string::npos;
      }));
      host.Signal(SIGTERM);
      EXPECT_EQ(3, host.Wait());
      EXPECT_THAT(host.Stderr(), HasSubstr("flows: 5 held payloads lost at termination\n"));
      EXPECT_THAT(host.Stderr(),
                  HasSubstr("channel flows: 5 payloads, 0 stored, 5 failed, 0 empty, "
                            "0 rows, 5 dropped; last error: "));
    }
    {
      HostProcess host(Args({"-C", "flows"}), dir.path());
      for (int k = 7; k <= 12; ++k) host.Write(Payload(k, 2000));
      ASSERT_TRUE(Eventually(
          [&] { return Occurrences(host.Stderr(), "flows: payload held for another try") >= 1; }));
      host.Signal(SIGKILL);
      host.Wait();
    }
  }
  // What a kill leaves is whole: each interval with all its rows.
  EXPECT_EQ((Rows{{"ok"}}), Query(dir.File("flows.db"), "PRAGMA integrity_check"));
  EXPECT_EQ(1, Count("SELECT count(*) FROM flows_intervals"));
  EXPECT_EQ(20, Count("SELECT count(*) FROM talkers"));
}

TEST_F(LifecycleTest, AReloadInAWindowTriesHeldPayloadsOnceOrNamesTheirLinesWhenItDropsThem) {
  struct Case {
    const char* name;
    std::string after;  // the configuration the reload reads
    int code;
    std::vector<std::string> err;  // parts of the host's standard error
    int64_t stored;
  };
  const std::string removed = R"({"db_path": ")" + dir.path() + R"(", "channels": {}})";
  const Case cases[] = {
      // Without retry_mb the held payloads get one try, ahead of newer ones.
      {"retry_mb dropped",
       "",
       0,
       {"channel flows: 5 payloads, 5 stored, 0 failed, 0 empty, 100 rows\n"},
       6},
      {"channel removed",
       removed,
       3,
       {"tavrin-sink-host: standard input, lines 1-3: 3 payloads failed on channel flows: flows: "
        "held payload dropped: the channel is no longer configured\n",
        "flows: 3 held payloads dropped: the channel is no longer configured\n",
        "channel flows: not configured, 2 payloads dropped, 3 payloads failed while it was "
        "configured\n"},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir.File("flows.db"));
    WriteConfig(R"("retry_mb": 8, "retry_max_s": 30, )");
    ASSERT_EQ(0, RunHost(Args({"-C", "flows"}), dir.path(), Payload(1, 20)).code);
    HostProcess host({"-c", dir.File("sink.json"), "-C", "flows"}, dir.path());
    {
      const ReadTransaction reader(dir.File("flows.db"));
      for (int k = 2; k <= 4; ++k) host.Write(Payload(k, 20));
      // Held and tried at 0.1, 0.3, 0.7, 1.5 and 3.1 s: the next try is
      // 3 s after the reload, when the reader has gone.
      std::this_thread::sleep_for(std::chrono::milliseconds(3200));
      if (c.after.empty()) {
        WriteConfig("");
      } else {
        dir.Write("sink.json", c.after);
      }
      host.Signal(SIGHUP);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int k = 5; k <= 6; ++k) host.Write(Payload(k, 20));
    host.CloseInput();
    EXPECT_EQ(c.code, host.Wait()) << host.Stderr();
    for (const std::string& part : c.err) EXPECT_THAT(host.Stderr(), HasSubstr(part));
    EXPECT_EQ(c.stored, Count("SELECT count(*) FROM flows_intervals"));
    EXPECT_EQ(0, Count("SELECT count(*) FROM flows_intervals a JOIN flows_intervals b "
                       "ON a.id < b.id AND a.time_start > b.time_start"));
  }
}

TEST_F(LifecycleTest, ReadingAheadStoresAndLogsExactlyWhatTheWorkerAloneDoes) {
  // Payloads the fast reader takes, and ones only the JSON library's reader
  // takes or refuses, each with its own line.
  std::string input;
  for (int k = 1; k <= 150; ++k) {
    std::string payload = Payload(k, k % 7 == 1 ? 0 : 40);
    if (k % 10 == 3) payload = "/* minute " + std::to_string(k) + " */ " + payload;
    if (k % 25 == 5) payload = "{\"log_time_start\": " + std::to_string(k) + ", \"stats\": [}\n";
    const size_t bytes = payload.find("\"bytes\": ");
    if (k % 30 == 8 && bytes != std::string::npos)
      payload.replace(bytes, 9, "\"bytes\": \"x\", \"b\": ");
    input += payload;
  }
  std::map<bool, std::string> logs, rows, failed_lines;
  for (const bool ahead : {false, true}) {
    std::filesystem::remove(dir.File("flows.db"));
    WriteConfig(ahead ? R"("read_ahead": true, )" : "");
    // Without -d the host names each failed payload by its line.
    const HostResult named =
        RunHost({"-c", dir.File("sink.json"), "-C", "flows"}, dir.path(), input);
    failed_lines[ahead] = named.err;
    std::filesystem::remove(dir.File("flows.db"));
    const HostResult result = RunHost(Args({"-C", "flows"}), dir.path(), input);
    EXPECT_EQ(3, result.code);
    logs[ahead] = result.err;
    for (const auto& row : Query(dir.File("flows.db"),
                                 "SELECT i.id, i.time_start, t.id, t.ip, t.bytes FROM "
                                 "flows_intervals i JOIN talkers t ON t.interval_id = i.id "
                                 "ORDER BY t.id")) {
      for (const std::string& value : row) rows[ahead] += value + "|";
      rows[ahead] += "\n";
    }
  }
  EXPECT_EQ(logs[false], logs[true]);
  EXPECT_EQ(rows[false], rows[true]);
  EXPECT_EQ(failed_lines[false], failed_lines[true]);
  EXPECT_THAT(
      failed_lines[true],
      HasSubstr("standard input, line 5: failed on channel flows: flows: JSON parse error: "));
  EXPECT_THAT(logs[true],
              HasSubstr("channel flows: 150 payloads, 118 stored, 10 failed, 22 empty, 4720 rows"));
}
