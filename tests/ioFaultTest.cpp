// Storage under failing file-system calls: every write, sync, truncation,
// deletion and open that a stream of payloads makes is failed in turn, and
// what the plugin reports is held against what the file holds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "faultVfs.h"
#include "payloadOutcomes.h"
#include "retryBackoff.h"
#include "testSupport.h"
#include "tvsPlugin.h"

using ::testing::IsEmpty;

namespace {

// The sweep: a stream of payloads on the aggregator channel "b", each
// configuration below, and each counted call of each kind failed in turn.
const char kTalkers[] = R"([{"name": "talkers", "columns": [
    {"name": "ip", "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}]}])";
// Sums per minute and talker, held against the rows where a configuration has it.
#define TVS_SWEEP_ROLLUP \
  R"("rollups": [{"table": "r", "seconds": 60, "group_by": ["ip"], "sum": ["bytes"], "count": "n"}])"
const char kSaved[] = "sink-sqlite: saved 20 rows from payload on channel b\n";
constexpr int kStream = 12;   // payloads written while the fault is armed
constexpr int kLater = 2;     // payloads written once it is gone
constexpr int kEntries = 20;  // entries of every payload

// Payload k starts at 1000 + k and every entry of it has bytes k, so each
// row of the file says which payload it came from.
std::string payload(int k) {
  std::string stats;
  for (int i = 0; i < kEntries; ++i) {
    stats += std::string(i ? "," : "") + R"({"ip": "10.0.0.)" + std::to_string(i) +
             R"(", "bytes": )" + std::to_string(k) + "}";
  }
  return R"({"log_time_start": )" + std::to_string(1000 + k) + R"(, "log_time_end": )" +
         std::to_string(1060 + k) + R"(, "stats": [)" + stats + "]}";
}

struct SweepConfig {
  const char* test_name;
  const char* name;
  const char* members;  // further members of channel "b"
  unsigned points;      // the kinds of call its stream makes
  bool retry = false;   // with retry_mb: every payload ends up stored
  bool reload = false;  // the configuration reloads in the middle of the stream
};

struct FaultKind {
  const char* name;
  tvsFaultVfs::Point point;
  int error_code;
};

const FaultKind kKinds[] = {
    {"xWrite EIO", tvsFaultVfs::kWrite, SQLITE_IOERR_WRITE},
    {"xWrite full", tvsFaultVfs::kWrite, SQLITE_FULL},
    {"xSync", tvsFaultVfs::kSync, SQLITE_IOERR_FSYNC},
    {"xTruncate", tvsFaultVfs::kTruncate, SQLITE_IOERR_TRUNCATE},
    {"xDelete", tvsFaultVfs::kDelete, SQLITE_IOERR_DELETE},
    {"xOpen", tvsFaultVfs::kOpen, SQLITE_CANTOPEN},
};

// What one run left: the counted calls, and every way the plugin's account
// disagrees with the file.
struct RunResult {
  std::map<tvsFaultVfs::Point, int> calls;  // counted while armed, the load's included
  std::vector<std::string> problems;
  std::string summary;  // what the file holds and what was logged
};

class IoFaultSweep : public ::testing::TestWithParam<SweepConfig> {
 protected:
  // Hundreds of short runs: flushing each of their syncs to the disk would
  // make the sweep as slow as the disk.
  // Held payloads are tried again after a millisecond rather than 100.
  void SetUp() override {
    tvsFaultVfs::SkipDiskSync(true);
    tvsFirstRetryWait = std::chrono::milliseconds(1);
  }
  void TearDown() override {
    tvsFaultVfs::Disarm();
    tvsFaultVfs::SkipDiskSync(false);
    tvsFirstRetryWait = std::chrono::milliseconds(100);
  }

  void WriteConfig(const TempDir& dir) {
    const std::string members = GetParam().members;
    dir.Write("sink.json",
              R"({"db_path": ")" + dir.path() +
                  R"(", "channels": {"b": {"db_name": "b.db", "data_source": "aggregator", )" +
                  members + (members.empty() ? "" : ", ") + R"("tables": )" + kTalkers + "}}}");
  }

  // The configuration and a copy of the set-up file.
  void Prepare(const TempDir& dir) {
    WriteConfig(dir);
    std::filesystem::copy_file(seed.File("b.db"), dir.File("b.db"));
  }

  // One run in a fresh directory: the plugin loads with the stream queued
  // and writes it with the VFS armed, so that the counted call `nth` of
  // `kind` after the load's `skip` fails, once (no `kind`: every kind is
  // counted and none fails); then the later payloads go in with the VFS
  // disarmed.
  RunResult Run(const FaultKind* kind, int skip, int nth) {
    RunResult result;
    TempDir dir;
    Prepare(dir);
    LogCapture log;
    GlobalConfigScope global;
    const auto problem = [&](bool ok, const std::string& what) {
      if (!ok) result.problems.push_back(what);
    };
    const auto savedLines = [&] {
      int count = 0;
      for (const std::string& line : log.Lines()) count += line == kSaved;
      return count;
    };

    testing::internal::CaptureStdout();  // the "Found table" lines of the load
    auto plugin = std::make_unique<tvsPlugin>(
        "sink",
        std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
    // The host's account of the payloads, as it names failed lines: payload
    // k is line k of "stream".
    PayloadOutcomes outcomes({"b"}, {"stream"}, 1000);
    plugin->SetWorkerObserver(
        [&](tvPluginSink::WorkerTurn turn) { outcomes.Observe(*plugin, turn); });
    const auto queue = [&](int k) {
      outcomes.Queued(0, static_cast<size_t>(k));
      const std::string text = payload(k);
      plugin->QueuePayload(std::make_shared<tvPluginSinkPayload>(text.data(), text.size(),
                                                                 std::set<std::string>{"b"}));
    };
    // Queued before the worker starts, so it drains them together; with a
    // reload, half of them, then the reload, then the rest.
    const bool reload = GetParam().reload;
    const int before_reload = reload ? kStream / 2 : kStream;
    for (int k = 1; k <= before_reload; ++k) queue(k);
    if (kind) {
      tvsFaultVfs::Arm(kind->point, skip + nth, kind->error_code, dir.path() + "/");
    } else {
      tvsFaultVfs::Arm(tvsFaultVfs::kAll, 0, SQLITE_OK, dir.path() + "/");
    }
    problem(plugin->Create() == 0, "the worker did not start");
    bool first_idle = true;
    if (reload) {
      first_idle = plugin->WaitUntilIdle();
      plugin->DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
      for (int k = before_reload + 1; k <= kStream; ++k) queue(k);
    }
    first_idle = plugin->WaitUntilIdle() && first_idle;
    tvsFaultVfs::Disarm();
    for (const FaultKind& each : kKinds) result.calls[each.point] = tvsFaultVfs::Calls(each.point);
    const int injected = tvsFaultVfs::Injected();
    const int saved_in_stream = savedLines();
    // What a kill now would leave: a fresh open of a copy of the files (no
    // -shm, so a WAL is recovered from the -wal itself) holds exactly the
    // payloads reported saved. Without retry_mb the worker is at rest here.
    if (!GetParam().retry) {
      TempDir copy;
      for (const char* suffix : {"", "-wal", "-journal"}) {
        const std::string from = dir.File(std::string("b.db") + suffix);
        if (std::filesystem::exists(from))
          std::filesystem::copy_file(from, copy.File(std::string("b.db") + suffix));
      }
      const Rows held = Query(copy.File("b.db"), "SELECT count(*) FROM b_intervals");
      problem(held == Rows{{std::to_string(saved_in_stream)}},
              "a fresh open holds " + held.at(0).at(0) + " payloads, " +
                  std::to_string(saved_in_stream) + " reported saved");
    }
    for (int k = kStream + 1; k <= kStream + kLater; ++k) queue(k);
    const bool later_idle = first_idle && plugin->WaitUntilIdle();
    json status = json::object();
    const bool retry = GetParam().retry;
    // The worker tries held payloads each time round its loop, which a wait
    // for it to be idle sends it round at once.
    bool settled = false;
    for (int wait = 0; wait < 2000 && !settled; ++wait) {
      if (wait > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        plugin->WaitUntilIdle();
      }
      plugin->GetStatus(status);
      settled = !retry || status["channels"]["b"].value("held", -1) == 0;
    }
    problem(settled, "payloads still held: " + status.dump());
    plugin->Terminate();
    plugin->Join();
    outcomes.Observe(*plugin, tvPluginSink::WorkerTurn::kQueueEmpty);
    plugin.reset();
    testing::internal::GetCapturedStdout();
    problem(first_idle && later_idle, "the worker ended");
    // Where the reload falls in the stream moves the calls after it: the
    // last ones counted in a clean run may not come.
    problem(injected == (kind ? 1 : 0) || (reload && injected == 0),
            "faults injected: " + std::to_string(injected));

    // The file: one line per interval, with its entry rows' count and bytes.
    const std::string file = dir.File("b.db");
    const Rows intervals =
        Query(file,
              "SELECT i.time_start - 1000, count(t.id), ifnull(min(t.bytes), -1), "
              "ifnull(max(t.bytes), -1) FROM b_intervals i LEFT JOIN talkers t ON "
              "t.interval_id = i.id GROUP BY i.id ORDER BY i.id");
    std::set<int> stored;
    for (const auto& row : intervals) {
      const int k = std::stoi(row.at(0));
      problem(k >= 1 && k <= kStream + kLater, "an interval of no payload: " + row.at(0));
      problem(stored.insert(k).second, "payload " + row.at(0) + " stored twice");
      problem(
          row.at(1) == std::to_string(kEntries) && row.at(2) == row.at(0) && row.at(3) == row.at(0),
          "payload " + row.at(0) + " holds " + row.at(1) + " rows, bytes " + row.at(2) + ".." +
              row.at(3));
    }
    const int stored_stream = static_cast<int>(
        std::count_if(stored.begin(), stored.end(), [](int k) { return k <= kStream; }));
    const int stored_later = static_cast<int>(stored.size()) - stored_stream;
    const Rows orphans = Query(
        file, "SELECT count(*) FROM talkers WHERE interval_id NOT IN (SELECT id FROM b_intervals)");
    problem(orphans == Rows{{"0"}}, "entry rows of no interval: " + orphans.at(0).at(0));
    // A rollup's sums are those of the rows stored, no more and no less.
    if (std::string(GetParam().members).find(TVS_SWEEP_ROLLUP) != std::string::npos) {
      const std::string raw =
          "SELECT i.time_start - i.time_start % 60, t.ip, sum(t.bytes), count(*) FROM talkers t "
          "JOIN b_intervals i ON t.interval_id = i.id GROUP BY 1, 2";
      const std::string kept = "SELECT bucket, ip, bytes, n FROM r";
      const Rows differ =
          Query(file, "SELECT count(*) FROM (SELECT * FROM (" + raw + " EXCEPT " + kept +
                          ") UNION ALL SELECT * FROM (" + kept + " EXCEPT " + raw + "))");
      problem(differ == Rows{{"0"}},
              "rollup rows that differ from the rows: " + differ.at(0).at(0));
    }
    const Rows integrity = Query(file, "PRAGMA integrity_check");
    problem(integrity == Rows{{"ok"}}, "integrity_check: " + integrity.at(0).at(0));
    problem((kind && !retry) || static_cast<int>(stored.size()) == kStream + kLater,
            std::to_string(stored.size()) + " payloads stored");
    problem(stored_later == kLater, "later payloads stored: " + std::to_string(stored_later) +
                                        " of " + std::to_string(kLater));

    // The account: saved lines, then the status, against the file.
    const int saved = savedLines();
    // Held payloads are stored after the later ones came.
    problem(retry || saved_in_stream == stored_stream,
            std::to_string(saved_in_stream) + " saved lines for the stream, " +
                std::to_string(stored_stream) + " of its payloads in the file");
    problem(saved == static_cast<int>(stored.size()),
            std::to_string(saved) + " saved lines in all, " + std::to_string(stored.size()) +
                " payloads in the file");
    const json& b = status["channels"]["b"];
    const int total = kStream + kLater;
    const int rows = kEntries * static_cast<int>(stored.size());
    // Every payload has exactly one outcome: stored (in the file) or failed
    // (listed, with its cause), in the order the payloads came.
    std::set<int> failed;
    for (const json& failure : status["failures"]) {
      const int k = failure.value("payload", 0);
      problem(failed.insert(k).second, "payload " + std::to_string(k) + " failed twice");
      problem(failure.value("channel", "") == "b" && !failure.value("error", "").empty(),
              "failure listed as " + failure.dump());
    }
    problem(status["failures_total"] == failed.size(),
            "failures_total " + status["failures_total"].dump());
    for (int k = 1; k <= total; ++k) {
      problem(stored.count(k) + failed.count(k) == 1,
              "payload " + std::to_string(k) + ": " + std::to_string(stored.count(k)) +
                  " stored, " + std::to_string(failed.count(k)) + " failed");
    }
    // The host names exactly those lines, each with its payload's cause.
    std::set<int> reported;
    const std::regex report(
        "stream, (?:line ([0-9]+): failed|lines ([0-9]+)-([0-9]+): ([0-9]+) "
        "payloads failed) on channel b: b: .+");
    for (const std::string& line : outcomes.TakeReports()) {
      std::smatch match;
      problem(std::regex_match(line, match, report), "host report: " + line);
      if (match.empty()) continue;
      const int from = std::stoi(match[1].matched ? match[1] : match[2]);
      const int to = std::stoi(match[1].matched ? match[1] : match[3]);
      problem(!match[4].matched || std::stoi(match[4]) == to - from + 1, "host report: " + line);
      for (int k = from; k <= to; ++k) reported.insert(k);
    }
    problem(reported == failed && outcomes.Failed() == failed.size() && outcomes.Unlisted() == 0,
            "the host reports " + std::to_string(reported.size()) + " lines, counts " +
                std::to_string(outcomes.Failed()) + " failed");
    problem(status["unsettled_from"] == total + 1,
            "unsettled from " + status["unsettled_from"].dump());
    int last_stored = 0;
    for (const auto& row : intervals) {
      problem(std::stoi(row.at(0)) > last_stored, "payload " + row.at(0) + " stored out of order");
      last_stored = std::stoi(row.at(0));
    }
    // The counters start again at a reload; what they count is checked above.
    const auto number = [&](const json& value) {
      return value.is_number() ? value.get<int64_t>() : int64_t{-1};
    };
    if (!reload) {
      problem(number(b["payloads"]) == total, "status payloads " + b["payloads"].dump());
      problem(number(b["rows"]) == rows,
              "status rows " + b["rows"].dump() + ", file " + std::to_string(rows));
      problem(number(b["failed"]) == total - static_cast<int64_t>(stored.size()),
              "status failed " + b["failed"].dump() + ", not in the file " +
                  std::to_string(total - stored.size()));
      problem(number(b["empty"]) == 0, "status empty " + b["empty"].dump());
      problem(number(status["entries"]) == rows, "status entries " + status["entries"].dump());
      if (retry) problem(number(b.value("dropped", json())) == 0, "status dropped " + b.dump());
    }
    // A payload lost to the fault has the fault for its last error, not a
    // step that came after it.
    // The counters (and their last error) start again at a reload, the list
    // of failures does not.
    if (kind && stored.size() < static_cast<size_t>(total)) {
      const std::string cause = sqlite3_errstr(kind->error_code);
      const json& last_error = reload ? status["failures"].back()["error"] : b["last_error"];
      problem(
          last_error.is_string() && last_error.get<std::string>().find(cause) != std::string::npos,
          "last error " + last_error.dump() + " does not say \"" + cause + "\"");
    }

    // Nothing is rolled back twice, nor taken for part of a batch that SQLite
    // ended; what a lost batch takes with it is said, with the cause.
    for (const std::string& line : log.Lines()) {
      problem(line.find("no transaction is active") == std::string::npos &&
                  line.find("no such savepoint") == std::string::npos,
              "logged: " + line);
      if (kind && line.rfind("b: payload not stored: rolled back with its batch: ", 0) == 0) {
        problem(line.find(sqlite3_errstr(kind->error_code)) != std::string::npos,
                "logged: " + line);
      }
    }

    std::ostringstream summary;
    summary << "file holds " << stored.size() << " intervals (" << stored_stream
            << " of the stream), " << saved << " saved lines (" << saved_in_stream
            << " for the stream); status rows " << b["rows"] << ", failed " << b["failed"]
            << "; last error: " << b["last_error"];
    result.summary = summary.str();
    return result;
  }

  TempDir seed;  // holds the set-up file
};

// Whether the sweep fails the counted call `nth` of `calls`: every one while
// they are few. Many calls come from a stream written payload by payload,
// which repeats one pattern per payload; there the first two payloads'
// calls and the last one's are all failed, and every fifth in between.
bool sweepFails(int nth, int calls) {
  constexpr int kEveryCallUpTo = 64;
  const int per_payload = (calls + kStream - 1) / kStream;
  return calls <= kEveryCallUpTo || nth <= 2 * per_payload || nth > calls - per_payload ||
         nth % 5 == 0;
}

TEST_P(IoFaultSweep, EveryReportedOutcomeMatchesTheFile) {
  const auto started = std::chrono::steady_clock::now();
  // Every run starts on a copy of one set-up file, so that its load only
  // opens it.
  {
    TempDir dir;
    WriteConfig(dir);
    LogCapture log;
    GlobalConfigScope global;
    testing::internal::CaptureStdout();
    {
      tvsPlugin plugin("sink", {{"config", dir.File("sink.json")}, {"type", "1"}});
      ASSERT_EQ(0, plugin.Create());
      ASSERT_TRUE(plugin.WaitUntilIdle());
      plugin.Terminate();
    }
    testing::internal::GetCapturedStdout();
    std::filesystem::copy_file(dir.File("b.db"), seed.File("b.db"));
  }
  // The load alone, then the load and the stream, both without a fault: the
  // calls the stream makes are the difference.
  std::map<tvsFaultVfs::Point, int> load_calls;
  {
    TempDir dir;
    Prepare(dir);
    LogCapture log;
    GlobalConfigScope global;
    testing::internal::CaptureStdout();
    {
      tvsPlugin plugin("sink", {{"config", dir.File("sink.json")}, {"type", "1"}});
      tvsFaultVfs::Arm(tvsFaultVfs::kAll, 0, SQLITE_OK, dir.path() + "/");
      ASSERT_EQ(0, plugin.Create());
      ASSERT_TRUE(plugin.WaitUntilIdle());
      tvsFaultVfs::Disarm();
      for (const FaultKind& kind : kKinds) load_calls[kind.point] = tvsFaultVfs::Calls(kind.point);
      plugin.Terminate();
    }
    testing::internal::GetCapturedStdout();
  }
  const RunResult clean = Run(nullptr, 0, 0);
  ASSERT_THAT(clean.problems, IsEmpty()) << "without a fault: " << clean.summary;

  int runs = 0;
  unsigned met = 0;
  std::string counts;
  for (const FaultKind& kind : kKinds) {
    const int calls = clean.calls.at(kind.point) - load_calls.at(kind.point);
    if (calls > 0) met |= kind.point;
    counts += std::string(", ") + kind.name + " " + std::to_string(calls);
    for (int nth = 1; nth <= calls; ++nth) {
      if (!sweepFails(nth, calls)) continue;
      SCOPED_TRACE(std::string(GetParam().name) + ", " + kind.name + " N=" + std::to_string(nth) +
                   " of " + std::to_string(calls));
      const RunResult run = Run(&kind, load_calls.at(kind.point), nth);
      ++runs;
      EXPECT_THAT(run.problems, IsEmpty()) << run.summary;
    }
  }
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%s: %d runs, %.1f s; calls of the stream%s\n", GetParam().name, runs, seconds,
              counts.c_str());
  // The stream makes every kind of call the configuration is here for.
  EXPECT_EQ(GetParam().points, met);
}

constexpr unsigned kJournalPoints =
    tvsFaultVfs::kWrite | tvsFaultVfs::kSync | tvsFaultVfs::kOpen | tvsFaultVfs::kDelete;
constexpr unsigned kWalPoints = tvsFaultVfs::kWrite | tvsFaultVfs::kSync;

const SweepConfig kConfigs[] = {
    {"OneByOneJournal", "commit_batch 1, rollback journal", "", kJournalPoints},
    {"OneByOneWal", "commit_batch 1, wal", R"("journal_mode": "wal")", kWalPoints},
    {"BatchJournal", "commit_batch 64, rollback journal", R"("commit_batch": 64)", kJournalPoints},
    {"BatchWal", "commit_batch 64, wal", R"("commit_batch": 64, "journal_mode": "wal")",
     kWalPoints},
    // A journal cut to nothing at each commit rather than deleted.
    {"OneByOneTruncatedJournal", "commit_batch 1, truncated journal",
     R"("journal_mode": "truncate")",
     kJournalPoints - tvsFaultVfs::kDelete + tvsFaultVfs::kTruncate},
    // Payloads read on a second thread while the one before is written.
    {"ReadAheadBatchJournal", "commit_batch 64, rollback journal, read_ahead",
     R"("commit_batch": 64, "read_ahead": true)", kJournalPoints},
    // Every fault passes, so every payload is stored, once.
    {"RetryOneByOneJournal", "commit_batch 1, rollback journal, retry_mb 1", R"("retry_mb": 1)",
     kJournalPoints, true},
    {"RetryBatchJournal", "commit_batch 64, rollback journal, retry_mb 1",
     R"("commit_batch": 64, "retry_mb": 1)", kJournalPoints, true},
    {"RetryBatchWal", "commit_batch 64, wal, retry_mb 1",
     R"("commit_batch": 64, "journal_mode": "wal", "retry_mb": 1)", kWalPoints, true},
    // The remaining combinations of commit_batch, retry_mb and read_ahead.
    {"ReadAheadOneByOneJournal", "commit_batch 1, rollback journal, read_ahead",
     R"("read_ahead": true)", kJournalPoints},
    {"RetryReadAheadOneByOneJournal", "commit_batch 1, rollback journal, retry_mb 1, read_ahead",
     R"("retry_mb": 1, "read_ahead": true)", kJournalPoints, true},
    {"RetryReadAheadBatchJournal", "commit_batch 64, rollback journal, retry_mb 1, read_ahead",
     R"("commit_batch": 64, "retry_mb": 1, "read_ahead": true)", kJournalPoints, true},
    // Sums in every payload's transaction, or savepoint.
    {"RollupBatchJournal", "commit_batch 64, rollback journal, rollup",
     R"("commit_batch": 64, )" TVS_SWEEP_ROLLUP, kJournalPoints},
    {"RollupRetryOneByOneWal", "commit_batch 1, wal, retry_mb 1, rollup",
     R"("journal_mode": "wal", "retry_mb": 1, )" TVS_SWEEP_ROLLUP, kWalPoints, true},
    // Each of the eight across a reload in the middle of the stream: its
    // file is closed and opened again, and held payloads change records.
    {"ReloadOneByOne", "commit_batch 1, reload", "", kJournalPoints, false, true},
    {"ReloadBatch", "commit_batch 64, reload", R"("commit_batch": 64)", kJournalPoints, false,
     true},
    {"ReloadReadAheadOneByOne", "commit_batch 1, read_ahead, reload", R"("read_ahead": true)",
     kJournalPoints, false, true},
    {"ReloadReadAheadBatch", "commit_batch 64, read_ahead, reload",
     R"("commit_batch": 64, "read_ahead": true)", kJournalPoints, false, true},
    {"ReloadRetryOneByOne", "commit_batch 1, retry_mb 1, reload", R"("retry_mb": 1)",
     kJournalPoints, true, true},
    {"ReloadRetryBatch", "commit_batch 64, retry_mb 1, reload",
     R"("commit_batch": 64, "retry_mb": 1)", kJournalPoints, true, true},
    {"ReloadRetryReadAheadOneByOne", "commit_batch 1, retry_mb 1, read_ahead, reload",
     R"("retry_mb": 1, "read_ahead": true)", kJournalPoints, true, true},
    {"ReloadRetryReadAheadBatch", "commit_batch 64, retry_mb 1, read_ahead, reload",
     R"("commit_batch": 64, "retry_mb": 1, "read_ahead": true)", kJournalPoints, true, true},
};

// Names the configuration in gtest's output, where its bytes would appear.
void PrintTo(const SweepConfig& config, std::ostream* out) { *out << config.name; }

std::string configTestName(const ::testing::TestParamInfo<SweepConfig>& config) {
  return config.param.test_name;
}

INSTANTIATE_TEST_SUITE_P(ioFault, IoFaultSweep, ::testing::ValuesIn(kConfigs), configTestName);

}  // namespace
