// Fault scenarios through the host binary: kills, locks, a full disk, broken
// files and hostile input. The invariant everywhere: a payload is stored whole
// or not at all, what was logged as saved is in the file, and later payloads
// are stored once the fault is gone.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostProcess.h"
#include "testSupport.h"

using ::testing::HasSubstr;

namespace {

// Payload k covers the minute starting at k * 60 and holds 1 + k % 7 entries,
// so every interval row tells how many entry rows it must have.
class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteConfig(""); }

  // The channel "flows", with `members` (such as R"("commit_batch": 64, )") ahead of its own.
  void WriteConfig(const std::string& members) {
    dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {"flows": {)" +
                               members + R"("db_name": "flows.db",
        "data_source": "aggregator", "tables": [{"name": "talkers", "columns": [
          {"name": "seq", "type": "INTEGER", "not_null": true}, {"name": "ip", "type": "TEXT", "not_null": true},
          {"name": "note", "type": "TEXT"}]}]}}})");
  }

  static std::string Payload(int k, const std::string& note = "") {
    std::string stats;
    for (int i = 0; i < 1 + k % 7; ++i) {
      stats += std::string(i ? "," : "") + R"({"seq": )" + std::to_string(i) + R"(, "ip": "10.0.)" +
               std::to_string(k % 250) + "." + std::to_string(i) + R"(", "note": ")" + note + "\"}";
    }
    return R"({"log_time_start": )" + std::to_string(k * 60) + R"(, "log_time_end": )" +
           std::to_string(k * 60 + 60) + R"(, "stats": [)" + stats + "]}\n";
  }
  void WritePayloads(const std::string& file, int first, int count) {
    std::ofstream out(dir.File(file));
    for (int k = first; k < first + count; ++k) out << Payload(k);
  }

  std::vector<std::string> Args(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"-c", dir.File("sink.json"), "-C", "flows", "-d"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  Rows Q(const std::string& sql) { return Query(dir.File("flows.db"), sql); }
  int64_t Count(const std::string& sql) { return std::stoll(Q(sql).at(0).at(0)); }
  static int Occurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++found;
    return found;
  }

  // The file is sound and every interval row holds all of its payload's entries.
  void ExpectConsistent() {
    EXPECT_EQ((Rows{{"ok"}}), Q("PRAGMA integrity_check"));
    EXPECT_EQ(Rows{}, Q("PRAGMA foreign_key_check"));
    EXPECT_EQ(
        0,
        Count("SELECT count(*) FROM flows_intervals i WHERE (SELECT count(*) FROM talkers t WHERE "
              "t.interval_id = i.id) != 1 + (i.time_start / 60) % 7"));
    EXPECT_EQ(
        0,
        Count(
            "SELECT count(*) FROM talkers WHERE interval_id NOT IN (SELECT id FROM flows_intervals)"));
  }

  void KillRounds(int rounds, int payloads, int unlogged);

  static bool LogShows(const HostProcess& host, const std::string& line, int count = 1) {
    return Eventually([&] { return Occurrences(host.Stderr(), line) >= count; });
  }

  TempDir dir;
};

}  // namespace

// Kills the host at seeded random moments while it stores `payloads` payloads,
// `rounds` times: the file
// holds whole payloads only, in order, and every one logged as saved; at most
// `unlogged` more (a kill between the commit and its lines).
void FaultTest::KillRounds(int rounds, int payloads, int unlogged) {
  ASSERT_EQ(0, RunHost(Args(), dir.path()).code);  // the tables exist before the first kill
  std::mt19937 random(20261208);
  int first = 1;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    WritePayloads("round.jsonl", first, payloads);
    const int64_t before = Count("SELECT count(*) FROM flows_intervals");
    HostProcess host(Args({dir.File("round.jsonl")}), dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
    host.Signal(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, host.Wait());

    ExpectConsistent();
    // Payloads are stored in order: the round's intervals are its first payloads.
    const int saved = Occurrences(host.Stderr(), "sink-sqlite: saved ");
    const int64_t added = Count("SELECT count(*) FROM flows_intervals") - before;
    EXPECT_GE(added, saved);
    EXPECT_LE(added, saved + unlogged);
    if (added > 0) {
      EXPECT_EQ(
          (Rows{{std::to_string(first * 60), std::to_string((first + added - 1) * 60)}}),
          Q("SELECT min(time_start), max(time_start) FROM flows_intervals WHERE time_start >= " +
            std::to_string(first * 60)));
    }
    first += payloads;
  }
  WritePayloads("last.jsonl", first, 20);
  const HostResult result = RunHost(Args({dir.File("last.jsonl")}), dir.path());
  EXPECT_EQ(0, result.code);
  EXPECT_EQ(20, Occurrences(result.err, "sink-sqlite: saved "));
  ExpectConsistent();
}

TEST_F(FaultTest, KilledHostLeavesWholePayloadsAndRestartsOnTheSameFile) { KillRounds(6, 3000, 1); }

TEST_F(FaultTest, KilledHostLeavesWholePayloadsWithBacklogCommits) {
  WriteConfig(R"("commit_batch": 64, )");
  // Batches store far faster: enough payloads that the kill comes mid-stream.
  KillRounds(3, 100000, 64);
}

TEST_F(FaultTest, LocksHeldByOthersFailPayloadsCleanly) {
  HostProcess host(Args(), dir.path());
  host.Write(Payload(1));
  ASSERT_TRUE(LogShows(host, "sink-sqlite: saved ", 1));

  struct Holder {
    const char* begin;
    const char* failure;
  };
  int next = 2, saved = 1, aborted = 0;
  for (const Holder& holder :
       {Holder{"BEGIN; SELECT count(*) FROM talkers;",
               "flows: COMMIT failed: database is locked\n"},
        Holder{"BEGIN IMMEDIATE;", "flows: SQLite interval insert failed: database is locked\n"}}) {
    SCOPED_TRACE(holder.begin);
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(dir.File("flows.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, holder.begin, nullptr, nullptr, nullptr));
    for (int i = 0; i < 2; ++i) host.Write(Payload(next++));
    aborted += 2;
    ASSERT_TRUE(LogShows(host, "flows: Transaction aborted\n", aborted));
    EXPECT_EQ(2, Occurrences(host.Stderr(), holder.failure));
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    host.Write(Payload(next++));
    ASSERT_TRUE(LogShows(host, "sink-sqlite: saved ", ++saved));
  }
  host.CloseInput();
  EXPECT_EQ(3, host.Wait());  // four payloads failed
  ExpectConsistent();
  const int64_t rows = Count("SELECT count(*) FROM talkers");
  EXPECT_EQ("Found table: talkers\n[i] rows added: " + std::to_string(rows) + "\n", host.Stdout());
  EXPECT_EQ((Rows{{"60"}, {"240"}, {"420"}}),
            Q("SELECT time_start FROM flows_intervals ORDER BY id"));
}

TEST_F(FaultTest, FullDiskFailsWholePayloadsAndStoringResumes) {
  WritePayloads("first.jsonl", 1, 5);
  ASSERT_EQ(0, RunHost(Args({dir.File("first.jsonl")}), dir.path()).code);
  const long size = static_cast<long>(std::filesystem::file_size(dir.File("flows.db")));

  // Payload 6 is larger than the room left; 7 and 8 fit.
  dir.Write("second.jsonl", Payload(6, std::string(200000, 'x')) + Payload(7) + Payload(8));
  HostLaunch launch;
  launch.file_size_limit = size + 16 * 4096;
  const HostResult result = RunHost(Args({dir.File("second.jsonl")}), dir.path(), "", launch);
  EXPECT_EQ(3, result.code) << result.err;  // payload 6 failed
  EXPECT_EQ(1, Occurrences(result.err, "flows: Transaction aborted\n")) << result.err;
  EXPECT_EQ(2, Occurrences(result.err, "sink-sqlite: saved "));
  ExpectConsistent();
  EXPECT_EQ((Rows{{"1"}, {"2"}, {"3"}, {"4"}, {"5"}, {"7"}, {"8"}}),
            Q("SELECT time_start / 60 FROM flows_intervals ORDER BY id"));
  EXPECT_LE(static_cast<long>(std::filesystem::file_size(dir.File("flows.db"))),
            launch.file_size_limit);

  // With room again, the large payload is stored.
  dir.Write("third.jsonl", Payload(6, std::string(200000, 'x')));
  EXPECT_EQ(0, RunHost(Args({dir.File("third.jsonl")}), dir.path()).code);
  EXPECT_EQ(1, Count("SELECT count(*) FROM flows_intervals WHERE time_start = 360"));
  ExpectConsistent();
}

TEST_F(FaultTest, BrokenFilesGiveClearErrorsAndStayUntouched) {
  const std::string unreachable = UnprivilegedCannotRunHost();
  if (!unreachable.empty()) GTEST_SKIP() << unreachable;
  WritePayloads("p.jsonl", 1, 3);
  const std::string path = dir.File("flows.db");
  const auto stored = [&] { ASSERT_EQ(0, RunHost(Args({dir.File("p.jsonl")}), dir.path()).code); };
  struct Case {
    const char* name;
    std::function<void()> prepare;
    mode_t mode;  // applied after the file's bytes are taken; the host runs unprivileged and
                  // owns the file, so the owner's bits are what it gets
    int code;
    std::string error;  // a line of the host's standard error
  };
  const std::vector<Case> cases = {
      {"not a database", [&] { dir.Write("flows.db", std::string(8192, 'Z')); }, 0600, 1,
       "error: flows: cannot create tables: file is not a database\n"},
      {"truncated header",
       [&] {
         stored();
         std::filesystem::resize_file(path, 50);
       },
       0600, 1, "error: flows: cannot create tables: database disk image is malformed\n"},
      {"directory in its place", [&] { std::filesystem::create_directory(path); }, 0755, 1,
       "error: flows: cannot open DB: " + path + ": unable to open database file\n"},
      {"unreadable", stored, 0, 1,
       "error: flows: cannot open DB: " + path + ": unable to open database file\n"},
      {"read-only", stored, 0444, 1,
       "error: flows: cannot open DB: " + path + ": the file could only be opened read-only\n"},
  };
  // The unprivileged host's own directory and files: the file's own mode is
  // what is tested. (A directory others may write would have the plugin
  // refuse files it does not own before their mode counts.) Run by an
  // ordinary user, the host is that user, who owns them already.
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, chown(dir.path().c_str(), 65534, 65534));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path);
    c.prepare();
    const bool regular = std::filesystem::is_regular_file(path);
    const std::string before = regular ? ReadFile(path) : "";
    if (root) {
      ASSERT_EQ(0, lchown(path.c_str(), 65534, 65534));
    }
    chmod(path.c_str(), c.mode);
    HostLaunch launch;
    launch.unprivileged = true;
    const HostResult result = RunHost(Args({dir.File("p.jsonl")}), dir.path(), "", launch);
    EXPECT_EQ(c.code, result.code);
    EXPECT_THAT(result.err, HasSubstr(c.error));
    chmod(path.c_str(), regular ? 0644 : 0755);
    if (regular) {
      EXPECT_EQ(before, ReadFile(path));
    }
  }
}

TEST_F(FaultTest, HostileFloodStoresEveryValidPayload) {
  std::ofstream out(dir.File("flood.jsonl"));
  int valid = 0;
  const std::string deep = std::string(300000, '[') + std::string(300000, ']');
  const std::vector<std::string> hostile = {
      "abc",
      R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"seq": 1, "ip": "a")",
      R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"seq": "one", "ip": "a"}]})",
      R"({"log_time_start": [1], "log_time_end": 2, "stats": [{}]})",
      R"({"log_time_start": 1, "log_time_end": 2, "stats": [)" + deep + "]}",
      R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"seq": 1, "ip": ")" +
          std::string(4 << 20, 'h') + R"("}, 5]})",
      R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"seq": 1}]})",
      std::string("{\"stats\": [\0], \"x\": 1}", 22),
      "\xff\xfe{}",
      R"({"stats": 5})",
      "[]"};
  for (int k = 1; k <= 200; ++k) {
    out << Payload(k);
    ++valid;
    out << hostile[static_cast<size_t>(k) % hostile.size()] << "\n";
  }
  out.close();
  const HostResult result = RunHost(Args({dir.File("flood.jsonl")}), dir.path());
  EXPECT_EQ(3, result.code);  // the hostile payloads failed
  EXPECT_EQ(
      valid,
      Count("SELECT count(*) FROM flows_intervals WHERE time_start >= 60 AND time_start % 60 = 0"));
  ExpectConsistent();
  // The 4 MiB payload is held a few times over while it is written.
  if (!kSanitized) {
    EXPECT_LT(result.peak_kib, 64 * 1024);
  }
}

TEST_F(FaultTest, LongRunKeepsMemoryBounded) {
  // 2,000 payloads of 100 flow records: 200,000 entry rows, about 70 MB of
  // text. Under the sanitizers, which measure nothing here, a tenth of it.
  const int payloads = kSanitized ? 200 : 2000;
  const std::string command = std::string(TVS_FLOWGEN_PATH) + " --payloads " +
                              std::to_string(payloads) + " --entries 100 > " +
                              dir.File("long.jsonl");
  ASSERT_EQ(0, std::system(command.c_str()));
  dir.Write("sink.json", std::regex_replace(ReadFile(TVS_SOURCE_DIR "/examples/flows.json"),
                                            std::regex(R"(\$\{DATA_DIR\})"), dir.path()));
  const HostResult result =
      RunHost({"-c", dir.File("sink.json"), "-C", "flows", dir.File("long.jsonl")}, dir.path());
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ("Found table: flow_stats\n[i] rows added: " + std::to_string(payloads * 100) + "\n",
            result.out);
  EXPECT_EQ(payloads * 100, Count("SELECT count(*) FROM flow_stats"));
  // The host reads ahead at most 64 payloads; the file's size must not show.
  if (!kSanitized) {
    EXPECT_LT(result.peak_kib, 32 * 1024);
  }
}

TEST_F(FaultTest, OutOfMemoryCostsOnePayloadAndHugeLinesAreRefused) {
  if (kSanitized)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit an address-space limit";
  std::ofstream out(dir.File("huge.jsonl"));
  out << Payload(1);
  // 15 MiB of text: one stored member whose 7.5 million elements, built as
  // values, need far more than the limit.
  out << R"({"log_time_start": 60, "log_time_end": 120, "stats": [{"seq": 1, "ip": [0)";
  for (int i = 0; i < 7500000; ++i) out << ",0";
  out << "]}]}\n" << Payload(2);
  // A line memory cannot hold at all, then one past the bound given below.
  out << std::string(160 << 20, ' ') << "\n" << Payload(3);
  out << std::string(2 << 20, ' ') << "{}\n" << Payload(4);
  out.close();
  HostLaunch launch;
  launch.address_space_limit = 240L << 20;
  const HostResult result = RunHost(Args({"--max-line-bytes", "100000000", dir.File("huge.jsonl")}),
                                    dir.path(), "", launch);
  EXPECT_EQ(3, result.code) << result.err;
  EXPECT_THAT(result.err, HasSubstr("flows: payload not stored: out of memory\n"));
  EXPECT_THAT(result.err,
              HasSubstr(": " + dir.File("huge.jsonl") + ", line 4: skipped, out of memory\n"));
  EXPECT_THAT(result.err, testing::EndsWith("\ntavrin-sink-host: 1 line skipped, out of memory\n"));
  EXPECT_EQ((Rows{{"60"}, {"120"}, {"180"}, {"240"}}),
            Q("SELECT time_start FROM flows_intervals ORDER BY 1"));
  ExpectConsistent();

  // The bound alone, without a memory limit.
  const HostResult bounded =
      RunHost(Args({"--max-line-bytes", "1048576", dir.File("huge.jsonl")}), dir.path());
  EXPECT_EQ(3, bounded.code);  // lines were skipped
  EXPECT_THAT(bounded.err,
              HasSubstr(", line 6: skipped, longer than 1048576 bytes (--max-line-bytes)\n"));
  EXPECT_EQ(3, Occurrences(bounded.err, ": skipped, longer than"));  // lines 2, 4 and 6
  // The summary's last line counts them.
  EXPECT_THAT(bounded.err, testing::EndsWith("\ntavrin-sink-host: 3 lines skipped, longer than "
                                             "1048576 bytes (--max-line-bytes)\n"));
}
