// Storage across power cuts: a stream of payloads is recorded through the
// crash VFS once per configuration, then the disk a power cut would leave is
// built at every sync, deletion and "saved" line of the trace (and at a
// sample of its writes), the channel is opened on it as after a reboot, and
// the file is held against what was reported saved before the cut.
//
// The suite runs a short stream; TVS_CRASH_FULL=1 runs the long one (the
// test labelled crash-full) and prints the table the README quotes;
// TVS_CRASH_PROBLEMS=1 prints every problem found, not only the first.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "clock.h"
#include "crashVfs.h"
#include "faultVfs.h"
#include "testSupport.h"
#include "tvsChannelConfig.h"
#include "tvsPlugin.h"

namespace {

// What a configuration promises across a power cut.
enum class Promise {
  kDurable,      // nothing reported saved is lost, nothing partial, nothing corrupt
  kLastCommits,  // the last commits may be lost; nothing partial, nothing corrupt
  kNone,         // whatever the cuts show, reported
};

// What happens in the middle of the stream.
enum class Middle { kNothing, kReload, kReplace, kDailyPurge };

struct CrashConfig {
  const char* test_name;
  const char* members;  // further members of channel "b"
  Promise promise;
  Middle middle = Middle::kNothing;
  bool size_cap = false;  // the oldest intervals go: a saved payload may go with them
};

bool fullSweep() {
  const char* full = std::getenv("TVS_CRASH_FULL");
  return full && std::string(full) == "1";
}

int streamLength() { return fullSweep() ? 40 : 12; }

// Payload k starts at 1000 + k and every entry of it has bytes k, so each
// row of the file says which payload it came from. The size cap's stream
// carries long names, so that a short stream passes a mebibyte.
std::string payload(int k, bool heavy) {
  const int entries = heavy ? 400 : 20;
  const std::string pad = heavy ? std::string(200, 'x') : "";
  std::string stats;
  for (int i = 0; i < entries; ++i) {
    stats += std::string(i ? "," : "") + R"({"ip": "10.0.0.)" + std::to_string(i) + pad +
             R"(", "bytes": )" + std::to_string(k) + "}";
  }
  return R"({"log_time_start": )" + std::to_string(1000 + k) + R"(, "log_time_end": )" +
         std::to_string(1060 + k) + R"(, "stats": [)" + stats + "]}";
}

const char kSaved[] = "sink-sqlite: saved ";

std::string channelJson(const CrashConfig& config) {
  const std::string members = config.members;
  return std::string(R"({"db_name": "b.db", "data_source": "aggregator", )") + members +
         (members.empty() ? "" : ", ") +
         R"("tables": [{"name": "talkers", "columns": [
             {"name": "ip", "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}]}]})";
}

std::time_t twoDaysLater(std::time_t* out) {
  const std::time_t now = std::time(nullptr) + 2 * 86400;
  if (out) *out = now;
  return now;
}

// The first column of every row of `sql`; false when SQLite refuses it.
bool column(sqlite3* db, const std::string& sql, std::vector<std::string>& values,
            std::string& error) {
  values.clear();
  char* text = nullptr;
  const int rc = sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int columns, char** row, char**) {
        std::string joined;
        for (int i = 0; i < columns; ++i)
          joined += std::string(i ? "|" : "") + (row[i] ? row[i] : "NULL");
        static_cast<std::vector<std::string>*>(out)->push_back(joined);
        return 0;
      },
      &values, &text);
  if (rc != SQLITE_OK) error = text ? text : sqlite3_errstr(rc);
  sqlite3_free(text);
  return rc == SQLITE_OK;
}

// What the cuts of one configuration left.
struct Tally {
  int states = 0;       // distinct disks checked
  int corrupt = 0;      // a file that does not open or fails integrity_check
  int partial = 0;      // an interval with a part of its payload's rows
  int lost_states = 0;  // disks without a payload that was reported saved
  int most_lost = 0;    // the most such payloads on one disk
  std::string first_problem;

  void Problem(const std::string& what) {
    if (std::getenv("TVS_CRASH_PROBLEMS")) std::fprintf(stderr, "%s\n", what.c_str());
    if (first_problem.empty()) first_problem = what;
  }
};

class CrashSweep : public ::testing::TestWithParam<CrashConfig> {
 protected:
  // Thousands of reopens: flushing their recoveries to the disk would make
  // the sweep as slow as the disk.
  void SetUp() override { tvsFaultVfs::SkipDiskSync(true); }
  void TearDown() override { tvsFaultVfs::SkipDiskSync(false); }

  // Records the stream: the trace, with a note for every log line.
  std::vector<tvsCrashVfs::Step> Record(const CrashConfig& config, const TempDir& dir) {
    const int length = streamLength();
    dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {"b": )" +
                               channelJson(config) + "}}");
    tvSetLogHandler([](tvLogLevel, const std::string& line) { tvsCrashVfs::Note(line); });
    GlobalConfigScope global;
    tvsCrashVfs::Start(dir.path());
    testing::internal::CaptureStdout();
    auto plugin = std::make_unique<tvsPlugin>(
        "sink",
        std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
    const auto queue = [&](int from, int to) {
      for (int k = from; k <= to; ++k) {
        const std::string text = payload(k, config.size_cap);
        plugin->QueuePayload(std::make_shared<tvPluginSinkPayload>(text.data(), text.size(),
                                                                   std::set<std::string>{"b"}));
      }
    };
    const int half = length / 2;
    // The rows of the first half are old by the time the second comes.
    if (config.middle == Middle::kDailyPurge) tvsCrashVfs::ShiftClock(-40 * 86400);
    // Queued before the worker starts, so that batches fill.
    queue(1, half);
    EXPECT_EQ(0, plugin->Create());
    EXPECT_TRUE(plugin->WaitUntilIdle());
    switch (config.middle) {
      case Middle::kNothing:
        break;
      case Middle::kReload:
        plugin->DispatchEvent(tvPlugin::Event(0), nullptr);
        break;
      case Middle::kReplace:
        // A WAL file moves with its -wal, which holds what is not yet in the
        // file itself.
        tvsCrashVfs::Rename(dir.File("b.db"), dir.File("b.db.old"));
        if (std::filesystem::exists(dir.File("b.db-wal"))) {
          tvsCrashVfs::Rename(dir.File("b.db-wal"), dir.File("b.db.old-wal"));
        }
        break;
      case Middle::kDailyPurge:
        tvsCrashVfs::ShiftClock(0);
        tvsClock = twoDaysLater;
        break;
    }
    queue(half + 1, length);
    EXPECT_TRUE(plugin->WaitUntilIdle());
    plugin->Terminate();
    plugin.reset();
    tvsClock = std::time;
    testing::internal::GetCapturedStdout();
    tvsCrashVfs::Stop();
    tvSetLogHandler(nullptr);
    return tvsCrashVfs::Trace();
  }

  // Opens the channel on a disk as the plugin does after a reboot and adds
  // what the disk shows to `tally`; `saved` payloads were reported saved.
  void Check(const CrashConfig& config, const std::map<std::string, std::string>& disk, int saved,
             Tally& tally, const std::string& where) {
    TempDir dir;
    for (const auto& [name, contents] : disk) dir.Write(name, contents);
    ++tally.states;
    std::map<int, std::string> found;  // payload -> its rows' count and bytes
    bool corrupt = false;
    const auto read = [&](sqlite3* db, const std::string& file) {
      std::vector<std::string> values;
      std::string error;
      if (!column(db, "PRAGMA integrity_check", values, error) ||
          values != std::vector<std::string>{"ok"}) {
        corrupt = true;
        tally.Problem(where + ": " + file +
                      ": integrity_check: " + (error.empty() ? values.at(0) : error));
        return;
      }
      if (!column(db,
                  "SELECT i.time_start - 1000, count(t.id) || ' rows, bytes ' || "
                  "ifnull(min(t.bytes), '-') || '..' || ifnull(max(t.bytes), '-') FROM "
                  "b_intervals i LEFT JOIN talkers t ON t.interval_id = i.id GROUP BY i.id",
                  values, error)) {
        corrupt = true;
        tally.Problem(where + ": " + file + ": " + error);
        return;
      }
      for (const std::string& value : values) {
        const size_t bar = value.find('|');
        found[std::stoi(value.substr(0, bar))] = value.substr(bar + 1);
      }
      // A rollup's sums are those of the rows the cut left, no more, no less.
      if (std::string(config.members).find("rollups") == std::string::npos) return;
      const std::string raw =
          "SELECT i.time_start - i.time_start % 60, t.ip, sum(t.bytes), count(*) FROM talkers t "
          "JOIN b_intervals i ON t.interval_id = i.id GROUP BY 1, 2";
      const std::string kept = "SELECT bucket, ip, bytes, n FROM r";
      if (!column(db,
                  "SELECT count(*) FROM (SELECT * FROM (" + raw + " EXCEPT " + kept +
                      ") UNION ALL SELECT * FROM (" + kept + " EXCEPT " + raw + "))",
                  values, error) ||
          values != std::vector<std::string>{"0"}) {
        corrupt = true;
        tally.Problem(where + ": " + file + ": rollup rows that differ from the rows: " +
                      (error.empty() ? values.at(0) : error));
      }
    };
    {
      LogCapture log;
      GlobalConfigScope global;
      tvsChannelConfig channel;
      channel.db_path = dir.path();
      try {
        channel.Load("b", json::parse(channelJson(config)));
        channel.InitDatabase();
        read(channel.db.get(), "b.db");
        // Sums and their mark went in together: nothing was left to add.
        for (const std::string& line : log.Lines()) {
          if (line.find("filled with") == std::string::npos) continue;
          corrupt = true;
          tally.Problem(where + ": " + line);
        }
      } catch (const std::exception& e) {
        corrupt = true;
        tally.Problem(where + ": opening b.db: " + e.what());
      }
    }
    if (disk.count("b.db.old")) {
      sqlite3* raw = nullptr;
      sqlite3_open_v2(dir.File("b.db.old").c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
      std::unique_ptr<sqlite3, int (*)(sqlite3*)> old(raw, sqlite3_close);
      read(old.get(), "b.db.old");
    }
    tally.corrupt += corrupt;

    const int entries = config.size_cap ? 400 : 20;
    bool partial = false;
    for (const auto& [k, rows] : found) {
      const std::string whole =
          std::to_string(entries) + " rows, bytes " + std::to_string(k) + ".." + std::to_string(k);
      if (rows != whole) {
        partial = true;
        tally.Problem(where + ": payload " + std::to_string(k) + " holds " + rows);
      }
    }
    tally.partial += partial;

    // Payloads are saved in order, so the first `saved` were reported.
    // Those the daily purge was due to delete may be gone; the size cap
    // deletes the oldest, never the newest commit.
    const int exempt = config.middle == Middle::kDailyPurge ? streamLength() / 2 : 0;
    int oldest_kept = 1;
    if (config.size_cap && saved > 0 && found.count(saved)) {
      while (oldest_kept < saved && !found.count(oldest_kept)) ++oldest_kept;
    }
    int lost = 0;
    for (int k = std::max(exempt, oldest_kept - 1) + 1; k <= saved; ++k) lost += !found.count(k);
    if (lost > 0 && !corrupt) {
      tally.Problem(where + ": " + std::to_string(lost) + " of " + std::to_string(saved) +
                    " payloads reported saved are gone");
    }
    tally.lost_states += lost > 0;
    tally.most_lost = std::max(tally.most_lost, lost);
  }

  // Every cut of the trace, each disk checked once.
  Tally Sweep(const CrashConfig& config, const std::vector<tvsCrashVfs::Step>& trace,
              bool lose_synced, const std::string& database) {
    Tally tally;
    std::set<size_t> seen;
    int saved = 0;
    int writes = 0;
    const int write_sample = fullSweep() ? 4 : 16;
    for (size_t i = 0; i < trace.size(); ++i) {
      const tvsCrashVfs::Step& step = trace[i];
      // An operator's moves of a file and its -wal go together.
      if (step.kind == tvsCrashVfs::Step::kRename && i + 1 < trace.size() &&
          trace[i + 1].kind == tvsCrashVfs::Step::kRename) {
        continue;
      }
      if (step.kind == tvsCrashVfs::Step::kNote) {
        if (step.data.rfind(kSaved, 0) != 0) continue;
        ++saved;
      } else if (step.kind == tvsCrashVfs::Step::kWrite && ++writes % write_sample != 0) {
        continue;
      }
      for (const tvsCutMode mode :
           {tvsCutMode::kSyncedOnly, tvsCutMode::kRandomSubset, tvsCutMode::kTornLast}) {
        const uint32_t seed = static_cast<uint32_t>(i);
        const auto disk = tvsDiskAfterCut(trace, i + 1, mode, seed, lose_synced, database);
        // The same disk with more reported saved is another case.
        std::string image = std::to_string(saved) + '\0';
        for (const auto& [name, contents] : disk) image += name + '\0' + contents + '\0';
        if (!seen.insert(std::hash<std::string>()(image)).second) continue;
        Check(config, disk, saved, tally,
              "cut after step " + std::to_string(i + 1) + " (mode " +
                  std::to_string(static_cast<int>(mode)) + ", " + std::to_string(saved) +
                  " saved)");
      }
    }
    return tally;
  }
};

TEST_P(CrashSweep, WhatIsReportedSavedSurvivesACut) {
  const CrashConfig& config = GetParam();
  TempDir dir;
  const auto trace = Record(config, dir);
  int saved = 0;
  for (const auto& step : trace)
    saved += step.kind == tvsCrashVfs::Step::kNote && step.data.rfind(kSaved, 0) == 0;
  ASSERT_EQ(streamLength(), saved) << "the stream itself was not stored whole";
  // The step the configuration is here for happened within the trace.
  std::string step = config.size_cap ? "b: size cap: deleted " : "";
  if (config.middle == Middle::kReload) step = "sink: Loading configuration: ";
  if (config.middle == Middle::kReplace) step = "was removed or replaced; reopening it";
  if (config.middle == Middle::kDailyPurge)
    step = "sink-sqlite: running daily purge for aggregate b.b.db";
  if (!step.empty()) {
    int seen = 0;
    for (const auto& each : trace)
      seen += each.kind == tvsCrashVfs::Step::kNote && each.data.find(step) != std::string::npos;
    EXPECT_GE(seen, config.middle == Middle::kReload ? 2 : 1) << step;
  }

  testing::internal::CaptureStdout();  // the "Found table" lines of every reopen
  const Tally tally = Sweep(config, trace, false, dir.File("b.db"));
  testing::internal::GetCapturedStdout();
  std::printf("%-28s %s: %d states, %d corrupt, %d partial, %d lost (at most %d payloads)\n",
              config.test_name, config.members, tally.states, tally.corrupt, tally.partial,
              tally.lost_states, tally.most_lost);
  EXPECT_GT(tally.states, streamLength());
  if (config.promise != Promise::kNone) {
    EXPECT_EQ(0, tally.corrupt) << tally.first_problem;
    EXPECT_EQ(0, tally.partial) << tally.first_problem;
  }
  if (config.promise == Promise::kDurable) {
    EXPECT_EQ(0, tally.lost_states) << tally.first_problem;
  }
}

// The sweep's checks catch a disk that loses writes a sync covered.
TEST(CrashSweepHarness, ADiskThatLosesSyncedWritesIsCaught) {
  class Probe : public CrashSweep {
   public:
    void TestBody() override {}
    using CrashSweep::Record;
    using CrashSweep::Sweep;
  } probe;
  tvsFaultVfs::SkipDiskSync(true);
  const CrashConfig config{"BrokenDisk", R"("synchronous": "extra")", Promise::kDurable};
  TempDir dir;
  const auto trace = probe.Record(config, dir);
  testing::internal::CaptureStdout();
  const Tally sound = probe.Sweep(config, trace, false, dir.File("b.db"));
  const Tally broken = probe.Sweep(config, trace, true, dir.File("b.db"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, sound.lost_states + sound.corrupt + sound.partial) << sound.first_problem;
  EXPECT_GT(broken.lost_states + broken.corrupt, 0);
  tvsFaultVfs::SkipDiskSync(false);
}

// Every journal mode with each synchronous setting (none: the default),
// payload by payload and in batches of 16; then the steps the plugin adds.
const CrashConfig kConfigs[] = {
    {"Delete", "", Promise::kDurable},
    {"DeleteBatch", R"("commit_batch": 16)", Promise::kDurable},
    {"DeleteExtra", R"("synchronous": "extra")", Promise::kDurable},
    {"DeleteExtraBatch", R"("synchronous": "extra", "commit_batch": 16)", Promise::kDurable},
    {"DeleteFull", R"("synchronous": "full")", Promise::kNone},
    {"DeleteFullBatch", R"("synchronous": "full", "commit_batch": 16)", Promise::kNone},
    {"DeleteNormal", R"("synchronous": "normal")", Promise::kNone},
    {"DeleteNormalBatch", R"("synchronous": "normal", "commit_batch": 16)", Promise::kNone},
    {"DeleteOff", R"("synchronous": "off")", Promise::kNone},
    {"DeleteOffBatch", R"("synchronous": "off", "commit_batch": 16)", Promise::kNone},
    {"Truncate", R"("journal_mode": "truncate")", Promise::kDurable},
    {"TruncateBatch", R"("journal_mode": "truncate", "commit_batch": 16)", Promise::kDurable},
    {"TruncateExtra", R"("journal_mode": "truncate", "synchronous": "extra")", Promise::kDurable},
    {"TruncateFull", R"("journal_mode": "truncate", "synchronous": "full")", Promise::kDurable},
    {"TruncateFullBatch",
     R"("journal_mode": "truncate", "synchronous": "full", "commit_batch": 16)", Promise::kDurable},
    {"TruncateExtraBatch",
     R"("journal_mode": "truncate", "synchronous": "extra", "commit_batch": 16)",
     Promise::kDurable},
    {"TruncateNormal", R"("journal_mode": "truncate", "synchronous": "normal")", Promise::kNone},
    {"TruncateNormalBatch",
     R"("journal_mode": "truncate", "synchronous": "normal", "commit_batch": 16)", Promise::kNone},
    {"TruncateOff", R"("journal_mode": "truncate", "synchronous": "off")", Promise::kNone},
    {"TruncateOffBatch", R"("journal_mode": "truncate", "synchronous": "off", "commit_batch": 16)",
     Promise::kNone},
    {"Persist", R"("journal_mode": "persist")", Promise::kDurable},
    {"PersistBatch", R"("journal_mode": "persist", "commit_batch": 16)", Promise::kDurable},
    {"PersistExtra", R"("journal_mode": "persist", "synchronous": "extra")", Promise::kDurable},
    {"PersistFull", R"("journal_mode": "persist", "synchronous": "full")", Promise::kDurable},
    {"PersistFullBatch", R"("journal_mode": "persist", "synchronous": "full", "commit_batch": 16)",
     Promise::kDurable},
    {"PersistExtraBatch",
     R"("journal_mode": "persist", "synchronous": "extra", "commit_batch": 16)", Promise::kDurable},
    {"PersistNormal", R"("journal_mode": "persist", "synchronous": "normal")", Promise::kNone},
    {"PersistNormalBatch",
     R"("journal_mode": "persist", "synchronous": "normal", "commit_batch": 16)", Promise::kNone},
    {"PersistOff", R"("journal_mode": "persist", "synchronous": "off")", Promise::kNone},
    {"PersistOffBatch", R"("journal_mode": "persist", "synchronous": "off", "commit_batch": 16)",
     Promise::kNone},
    {"Wal", R"("journal_mode": "wal")", Promise::kDurable},
    {"WalBatch", R"("journal_mode": "wal", "commit_batch": 16)", Promise::kDurable},
    {"WalExtra", R"("journal_mode": "wal", "synchronous": "extra")", Promise::kDurable},
    {"WalExtraBatch", R"("journal_mode": "wal", "synchronous": "extra", "commit_batch": 16)",
     Promise::kDurable},
    {"WalFull", R"("journal_mode": "wal", "synchronous": "full")", Promise::kDurable},
    {"WalFullBatch", R"("journal_mode": "wal", "synchronous": "full", "commit_batch": 16)",
     Promise::kDurable},
    {"WalNormal", R"("journal_mode": "wal", "synchronous": "normal")", Promise::kLastCommits},
    {"WalNormalBatch", R"("journal_mode": "wal", "synchronous": "normal", "commit_batch": 16)",
     Promise::kLastCommits},
    {"WalOff", R"("journal_mode": "wal", "synchronous": "off")", Promise::kNone},
    {"WalOffBatch", R"("journal_mode": "wal", "synchronous": "off", "commit_batch": 16)",
     Promise::kNone},
    // The size cap deletes in chunks of their own transactions, across the cut.
    {"SizeCap", R"("max_db_mb": 1, "auto_vacuum": "incremental")", Promise::kDurable,
     Middle::kNothing, true},
    {"SizeCapBatch", R"("max_db_mb": 1, "auto_vacuum": "incremental", "commit_batch": 16)",
     Promise::kDurable, Middle::kNothing, true},
    {"SizeCapWal", R"("max_db_mb": 1, "auto_vacuum": "incremental", "journal_mode": "wal")",
     Promise::kDurable, Middle::kNothing, true},
    // The daily purge, on a connection of its own; in WAL mode followed by
    // the checkpoint that cuts the -wal back.
    {"DailyPurge", R"("purge_in_days": 30)", Promise::kDurable, Middle::kDailyPurge},
    {"DailyPurgeWalLimit", R"("purge_in_days": 30, "journal_mode": "wal", "wal_limit_mb": 1)",
     Promise::kDurable, Middle::kDailyPurge},
    // Rollup sums in each payload's savepoint, with their mark.
    {"RollupBatch",
     R"("commit_batch": 16, "rollups": [{"table": "r", "seconds": 60, "group_by": ["ip"],
        "sum": ["bytes"], "count": "n"}])",
     Promise::kDurable},
    {"Reload", R"("commit_batch": 16)", Promise::kDurable, Middle::kReload},
    {"ReloadWal", R"("journal_mode": "wal")", Promise::kDurable, Middle::kReload},
    // The file is moved away; the plugin opens a new one at its path.
    {"Replaced", "", Promise::kDurable, Middle::kReplace},
    {"ReplacedWal", R"("journal_mode": "wal")", Promise::kDurable, Middle::kReplace},
};

void PrintTo(const CrashConfig& config, std::ostream* out) { *out << config.test_name; }

std::string configTestName(const ::testing::TestParamInfo<CrashConfig>& config) {
  return config.param.test_name;
}

INSTANTIATE_TEST_SUITE_P(powerCut, CrashSweep, ::testing::ValuesIn(kConfigs), configTestName);

}  // namespace
