// The host program, end to end through its binary.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "hostProcess.h"
#include "testSupport.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteConfig(dir.path()); }

  void WriteConfig(const std::string& db_path, const std::string& extra_channel = "") {
    dir.Write("sink.json", R"({"db_path": ")" + db_path + R"(", "channels": {
        "flows": {"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "talkers", "columns": [
            {"name": "ip", "type": "TEXT", "not_null": true}, {"name": "bytes", "type": "INTEGER"}]}]})" +
                               extra_channel + "}}");
  }

  std::vector<std::string> Args(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"-c", dir.File("sink.json"), "-C", "flows"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  Rows Q(const std::string& sql, const std::string& file = "flows.db") {
    return Query(dir.File(file), sql);
  }

  static std::string Payload(int start, int entries) {
    std::string stats;
    for (int i = 0; i < entries; ++i) {
      stats += std::string(i ? "," : "") + R"({"ip": "10.0.0.)" + std::to_string(i) +
               R"(", "bytes": )" + std::to_string(100 * i) + "}";
    }
    return R"({"log_time_start": )" + std::to_string(start) + R"(, "log_time_end": )" +
           std::to_string(start + 60) + R"(, "stats": [)" + stats + "]}\n";
  }

  // Waits until the host's debug log holds `line` `count` times. The log,
  // not the database, is watched: a reader would hold a lock the host's
  // writes could meet.
  static bool LogShows(const HostProcess& host, const std::string& line, size_t count = 1) {
    return Eventually([&] {
      const std::string err = host.Stderr();
      size_t found = 0;
      for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1))
        ++found;
      return found >= count;
    });
  }

  TempDir dir;
};

}  // namespace

TEST_F(HostTest, HelpPrintsUsage) {
  for (const char* flag : {"-h", "--help"}) {
    const HostResult result = RunHost({flag}, dir.path());
    EXPECT_EQ(0, result.code);
    EXPECT_THAT(
        result.out,
        StartsWith(
            "Usage: tavrin-sink-host -c CONFIG -C CHANNEL [-C CHANNEL ...] [options] [PAYLOAD_FILE ...]\n"));
    EXPECT_THAT(result.out, HasSubstr("  -D, --define NAME=VALUE"));
    EXPECT_EQ("", result.err);
  }
}

TEST_F(HostTest, UsageErrorsExitTwo) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  for (const Case& c :
       std::vector<Case>{{{"-C", "flows"}, "a configuration file is required (-c FILE)"},
                         {{"-c", "x.json"}, "at least one channel is required (-C NAME)"},
                         {{"-c", "x.json", "-C", "f", "--bogus"}, "unknown option --bogus"},
                         {{"-c", "x.json", "-C", "f", "--type", "one"},
                          "--type takes an unsigned number, not \"one\""},
                         {{"-c", "x.json", "-C", "f", "-D", "NOEQUALS"},
                          "--define takes NAME=VALUE, not \"NOEQUALS\""},
                         {{"-c"}, "option -c needs a value"}}) {
    SCOPED_TRACE(c.message);
    const HostResult result = RunHost(c.args, dir.path());
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(std::string("tavrin-sink-host: ") + c.message +
                  "\nTry 'tavrin-sink-host --help' for more information.\n",
              result.err);
    EXPECT_EQ("", result.out);
  }
  const HostResult result = RunHost(Args({dir.File("missing.jsonl")}), dir.path());
  EXPECT_EQ(2, result.code);
  EXPECT_EQ("tavrin-sink-host: cannot open payload file " + dir.File("missing.jsonl") +
                ": No such file or directory\n",
            result.err);
  EXPECT_EQ(0, tv_file_exists(dir.File("flows.db")));
}

TEST_F(HostTest, PluginProblemsExitTwo) {
  HostResult result = RunHost(Args({"-p", dir.File("none.so")}), dir.path());
  EXPECT_EQ(2, result.code);
  EXPECT_THAT(result.err,
              StartsWith("tavrin-sink-host: cannot load plugin " + dir.File("none.so") + ": "));

  result = RunHost(Args({"-p", TVS_BAD_ABI_PLUGIN_PATH}), dir.path());
  EXPECT_EQ(2, result.code);
  EXPECT_EQ("tavrin-sink-host: incompatible plugin " TVS_BAD_ABI_PLUGIN_PATH
            ": it was built for agent version 14, not 15\n",
            result.err);

  result = RunHost(Args({"--type", "3", "-t", "mysink"}), dir.path());
  EXPECT_EQ(2, result.code);
  EXPECT_EQ(
      "Invalid plugin type: mysink [3]\ntavrin-sink-host: the plugin refused to start (type 3)\n",
      result.err);
}

TEST_F(HostTest, StoresPayloadFilesAndPrintsStatus) {
  dir.Write("a.jsonl", Payload(100, 2) + "\n" + Payload(160, 3));
  // The last line of b.jsonl ends without a newline.
  const std::string last = Payload(280, 4);
  dir.Write("b.jsonl", Payload(220, 1) + "not json\n" + last.substr(0, last.rfind('\n')));
  const HostResult result = RunHost(Args({dir.File("a.jsonl"), dir.File("b.jsonl")}), dir.path());
  EXPECT_EQ(3, result.code) << result.err;
  EXPECT_EQ("Found table: talkers\n[i] rows added: 10\n", result.out);
  EXPECT_EQ(
      "sink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION "\ntavrin-sink-host: " +
          dir.File("b.jsonl") +
          ", line 2: failed on channel flows: flows: JSON parse error: [json.exception.parse_error.101] "
          "parse error at line 1, column 2: syntax error while parsing value - invalid literal; last "
          "read: 'no'\ntavrin-sink-host: channel flows: 5 payloads, 4 "
          "stored, 1 failed, 0 empty, 10 rows; last error: flows: JSON parse error: "
          "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error while parsing "
          "value - invalid literal; last read: 'no'\n",
      result.err);
  EXPECT_EQ(
      (Rows{{"100", "2"}, {"160", "3"}, {"220", "1"}, {"280", "4"}}),
      Q("SELECT time_start, count(*) FROM flows_intervals JOIN talkers ON talkers.interval_id = flows_intervals.id "
        "GROUP BY flows_intervals.id ORDER BY time_start"));
}

TEST_F(HostTest, ReadsStandardInputAndDash) {
  HostResult result = RunHost(Args(), dir.path(), Payload(100, 2));
  EXPECT_EQ(0, result.code);
  EXPECT_EQ("Found table: talkers\n[i] rows added: 2\n", result.out);
  dir.Write("a.jsonl", Payload(200, 1));
  result = RunHost(Args({dir.File("a.jsonl"), "-"}), dir.path(), Payload(300, 3));
  EXPECT_EQ("Found table: talkers\n[i] rows added: 4\n", result.out);
  EXPECT_EQ((Rows{{"3"}}), Q("SELECT count(*) FROM flows_intervals"));
}

TEST_F(HostTest, NoPayloadsStillLoadsConfiguration) {
  const HostResult result = RunHost(Args({"--status-json"}), dir.path());
  EXPECT_EQ(0, result.code);
  const std::string prefix = "Found table: talkers\n[i] rows added: 0\n";
  ASSERT_THAT(result.out, StartsWith(prefix));
  const json status = json::parse(result.out.substr(prefix.size()));
  EXPECT_EQ(
      json::parse(
          R"({"entries": 0, "channels": {"flows": {"payloads": 0, "rows": 0, "failed": 0, "empty": 0,
                "purges": 0, "last_error": null, "db_bytes": )" +
          std::to_string(std::filesystem::file_size(dir.File("flows.db"))) +
          R"(}}, "failures": [], "failures_total": 0, "unsettled_from": 1})"),
      status);
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(HostTest, EveryChannelGivenReceivesEachPayload) {
  WriteConfig(dir.path(), R"(, "copy": {"db_name": "copy.db", "data_source": "aggregator",
      "tables": [{"name": "t", "columns": [{"name": "ip", "type": "TEXT"}]}]})");
  const HostResult result =
      RunHost(Args({"-C", "copy", "-C", "nowhere", "-d"}), dir.path(), Payload(100, 2));
  EXPECT_EQ("Found table: t\nFound table: talkers\n[i] rows added: 4\n", result.out);
  EXPECT_THAT(result.err, HasSubstr("sink-sqlite: channel not found: nowhere\n"));
  EXPECT_EQ((Rows{{"2"}}), Q("SELECT count(*) FROM t", "copy.db"));
  EXPECT_EQ((Rows{{"2"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(HostTest, DebugLogOnlyWithFlagAndVariablesExpand) {
  std::filesystem::create_directory(dir.File("data"));
  WriteConfig("${DATA}/data");
  HostResult result =
      RunHost(Args({"-D", "DATA=" + dir.path(), "-d"}), dir.path(), Payload(100, 1));
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_THAT(
      result.err,
      HasSubstr("sink-sqlite: initialized\nsink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION
                "\n"
                "sink-sqlite: Loading configuration: " +
                dir.File("sink.json") + "\n"));
  EXPECT_THAT(
      result.err,
      HasSubstr(
          "sink-sqlite: saved 1 rows from payload on channel flows\nsink-sqlite: destroyed\n"));
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM talkers", "data/flows.db"));

  result = RunHost(Args({"-D", "DATA=" + dir.path()}), dir.path(), Payload(200, 1));
  EXPECT_EQ("sink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION
            "\ntavrin-sink-host: channel flows: 1 payload, 1 "
            "stored, 0 failed, 0 empty, 1 row\n",
            result.err);
}

TEST_F(HostTest, ConfigurationErrorExitsOneWithoutStatus) {
  const HostResult result =
      RunHost({"-c", dir.File("none.json"), "-C", "flows"}, dir.path(), Payload(100, 1));
  EXPECT_EQ(1, result.code);
  EXPECT_EQ("", result.out);
  EXPECT_EQ("sink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION
            "\nerror: sink-sqlite: error opening configuration: " +
                dir.File("none.json") + "\ntavrin-sink-host: " + dir.File("none.json") +
                ": No such file or directory\n",
            result.err);
}

TEST_F(HostTest, AnUndefinedVariableIsNamedWithHowToDefineIt) {
  struct Case {
    const char* name;
    std::string config;
    std::vector<std::string> more;
    std::string lines;  // the end of standard error
  };
  const std::string tables =
      R"("tables": [{"name": "t", "columns": [{"name": "ip", "type": "TEXT"}]}])";
  const std::vector<Case> cases = {
      {"top-level db_path",
       R"({"db_path": "${DATA_DIR}", "channels": {}})",
       {},
       "error: sink-sqlite: database path doesn't exist: ${DATA_DIR}\n"
       "tavrin-sink-host: DATA_DIR is not defined; define it with -D DATA_DIR=DIR\n"},
      {"a channel's db_path, another variable defined",
       R"({"channels": {"flows": {"db_path": "${A}/${B}", "db_name": "f.db", )" + tables + "}}}",
       {"-D", "B=x"},
       "error: flows: cannot open DB: ${A}/x/f.db: unable to open database file\n"
       "tavrin-sink-host: ${A}/x: No such file or directory\n"
       "tavrin-sink-host: A is not defined; define it with -D A=DIR\n"},
      {"defined, but the directory is missing",
       R"({"db_path": "${D}/none", "channels": {}})",
       {"-D", "D=" + dir.path()},
       "error: sink-sqlite: database path doesn't exist: " + dir.File("none") + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir.Write("vars.json", c.config);
    std::vector<std::string> args = {"-c", dir.File("vars.json"), "-C", "flows"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    const HostResult result = RunHost(args, dir.path());
    EXPECT_EQ(1, result.code);
    ASSERT_GE(result.err.size(), c.lines.size()) << result.err;
    EXPECT_EQ(c.lines, result.err.substr(result.err.size() - c.lines.size()));
  }
}

TEST_F(HostTest, SighupReloadsAndResetsTheCount) {
  HostProcess host(Args({"-d"}), dir.path());
  host.Write(Payload(100, 2));
  ASSERT_TRUE(LogShows(host, "saved 2 rows"));
  host.Signal(SIGHUP);
  ASSERT_TRUE(LogShows(host, "Loading configuration", 2));
  host.Write(Payload(200, 3));
  host.CloseInput();
  EXPECT_EQ(0, host.Wait());
  EXPECT_EQ("Found table: talkers\nFound table: talkers\n[i] rows added: 3\n", host.Stdout());
  EXPECT_EQ((Rows{{"5"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(HostTest, SigtermStopsReadingAndWritesWhatWasQueued) {
  HostProcess host(Args({"-d"}), dir.path());
  host.Write(Payload(100, 2) + Payload(200, 1));
  ASSERT_TRUE(LogShows(host, "saved 1 rows"));
  host.Signal(SIGTERM);
  ASSERT_TRUE(host.ExitsWithin(10));
  EXPECT_EQ(0, host.Wait());
  EXPECT_EQ("Found table: talkers\n[i] rows added: 3\n", host.Stdout());
}

TEST_F(HostTest, WorkerDeathEndsTheHostWithoutWaitingForInput) {
  dir.Write("sink.json", "{ broken");
  HostProcess host(Args({"-d"}), dir.path());
  ASSERT_TRUE(host.ExitsWithin(10));  // standard input is still open
  EXPECT_EQ(1, host.Wait());
  EXPECT_THAT(host.Stderr(),
              HasSubstr("error: sink-sqlite: error loading configuration: " +
                        dir.File("sink.json") + ": [json.exception.parse_error.101]"));
  EXPECT_EQ("", host.Stdout());
}

TEST_F(HostTest, FailedReloadKeepsTheRunningChannelsStoring) {
  HostProcess host(Args({"-d", "--status-json"}), dir.path());
  host.Write(Payload(100, 1));
  ASSERT_TRUE(LogShows(host, "saved 1 rows"));
  dir.Write("sink.json", "{ broken");
  host.Signal(SIGHUP);
  const std::string failed =
      "sink-sqlite: reload failed, keeping the running configuration: "
      "sink-sqlite: error loading configuration: " +
      dir.File("sink.json") + ": [json.exception.parse_error.101]";
  ASSERT_TRUE(LogShows(host, failed));
  for (int i = 1; i <= 19; ++i) host.Write(Payload(100 + 60 * i, 2));
  ASSERT_TRUE(LogShows(host, "saved 2 rows", 19));
  // Mended, the next request takes effect.
  WriteConfig(dir.path());
  host.Signal(SIGHUP);
  ASSERT_TRUE(LogShows(host, "Loading configuration", 3));
  host.Write(Payload(5000, 3));
  host.CloseInput();
  EXPECT_EQ(0, host.Wait());
  EXPECT_EQ(Rows({{"21", "42"}}),
            Q("SELECT count(*), (SELECT count(*) FROM talkers) FROM flows_intervals"));
  const std::string out = host.Stdout();
  ASSERT_NE(std::string::npos, out.find('{')) << out;
  const json status = json::parse(out.substr(out.find('{')));
  EXPECT_EQ(1, status["reload_failures"]);
  EXPECT_THAT(status["last_reload_error"].get<std::string>(), HasSubstr("parse_error.101"));
  EXPECT_EQ(3, status["entries"]);
}

TEST_F(HostTest, ReloadStormUnderAStreamStoresEachPayloadOnce) {
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "synchronous": "off", "channels": {
      "flows": {"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "talkers", "columns": [
          {"name": "ip", "type": "TEXT", "not_null": true}, {"name": "bytes", "type": "INTEGER"}]}]}}})");
  HostProcess host(Args({"-d"}), dir.path());
  ASSERT_TRUE(LogShows(host, "Loading configuration"));  // its signal handlers are in place
  std::atomic<bool> feeding{true};
  std::thread storm([&] {
    while (feeding) {
      host.Signal(SIGHUP);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int k = 1; k <= 5000; ++k) host.Write(Payload(60 * k, 1));
  feeding = false;
  storm.join();
  host.CloseInput();
  EXPECT_EQ(0, host.Wait());
  EXPECT_EQ((Rows{{"5000", "5000", "5000"}}),
            Q("SELECT count(*), count(DISTINCT time_start), (SELECT count(*) FROM talkers) FROM "
              "flows_intervals"));
  // Taken while payloads kept coming, not only once the stream ended.
  size_t reloads = 0;
  const std::string err = host.Stderr();
  for (size_t at = err.find("Loading configuration"); at != std::string::npos;
       at = err.find("Loading configuration", at + 1))
    ++reloads;
  EXPECT_GT(reloads, 10u);
}

TEST_F(HostTest, TyposInTheConfigurationAndUnknownChannelsAreWarnedOf) {
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "purge_in_day": 3, "channels": {
      "flows": {"db_name": "flows.db", "data_sorce": "aggregator", "journal_mdoe": "wal", "enable": true,
                "tables": [{"name": "talkers", "columns": [{"name": "ip", "type": "TEXT"}]}]}}})");
  const HostResult result = RunHost(Args({"-C", "flow"}), dir.path(), Payload(100, 1));
  EXPECT_EQ(3, result.code);
  EXPECT_EQ(
      "sink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION
      "\n"
      "sink-sqlite: top level: unknown key \"purge_in_day\" ignored\n"
      "sink-sqlite: channel flows: unknown key \"data_sorce\" ignored\n"
      "sink-sqlite: channel flows: unknown key \"journal_mdoe\" ignored\n"
      "tavrin-sink-host: warning: channel flow is not configured; its payloads are dropped\n"
      "tavrin-sink-host: standard input, line 1: failed on channel flows: sink-sqlite: unsupported "
      "data_source on channel flows\n"
      "tavrin-sink-host: channel flow: not configured, 1 payload dropped\n"
      "tavrin-sink-host: channel flows: 1 payload, 0 stored, 1 failed, 0 empty, 0 rows; last error: "
      "sink-sqlite: unsupported data_source on channel flows\n",
      result.err);
}

TEST_F(HostTest, SignalsActAtOnceOnABusyInput) {
  // More than the host can store in the time allowed, from a regular file
  // and from a pipe that never waits.
  std::string many;
  for (int k = 0; k < 20000; ++k) many += Payload(60 * k + 60, 1);
  dir.Write("many.jsonl", many);
  for (const bool from_file : {true, false}) {
    SCOPED_TRACE(from_file ? "regular file" : "pipe");
    // Output files of their own: the first run's log must not be read as the second's.
    const std::string logs = dir.File(from_file ? "file-run" : "pipe-run");
    std::filesystem::create_directory(logs);
    HostProcess host(Args(from_file ? std::vector<std::string>{"-d", dir.File("many.jsonl")}
                                    : std::vector<std::string>{"-d"}),
                     logs);
    std::thread writer;
    if (!from_file) writer = std::thread([&] { host.Write(many); });
    ASSERT_TRUE(LogShows(host, "saved 1 rows"));
    host.Signal(SIGHUP);
    ASSERT_TRUE(LogShows(host, "Loading configuration", 2));
    host.Signal(SIGINT);
    const bool exited = host.ExitsWithin(2);
    EXPECT_TRUE(exited);
    if (!exited) host.Signal(SIGKILL);
    // The writer ends once the host's end of the pipe is gone, before the
    // pipe is closed here.
    if (writer.joinable()) writer.join();
    host.CloseInput();
    EXPECT_EQ(0, host.Wait());
    EXPECT_LT(std::stoi(Q("SELECT count(*) FROM flows_intervals")[0][0]), 20000);
    std::filesystem::remove(dir.File("flows.db"));
  }
}

TEST_F(HostTest, ExitStatusTellsWhetherEveryPayloadWasStored) {
  WriteConfig(dir.path(),
              R"(, "old": {"db_name": "old.db", "enable": false, "data_source": "aggregator",
      "tables": [{"name": "t", "columns": [{"name": "ip", "type": "TEXT"}]}]})");
  struct Case {
    const char* name;
    std::vector<std::string> more;
    std::string input;
    int code;
    std::string ending;  // the last lines of standard error: what explains the status
  };
  const std::string empty = R"({"log_time_start": 100, "log_time_end": 160})";
  const auto crlf = [](std::string text) {
    return std::regex_replace(text, std::regex("\n"), "\r\n");
  };
  const std::string too_long = std::string(400, ' ') + "\n";
  const std::vector<Case> cases = {
      {"all stored",
       {},
       Payload(100, 2) + Payload(160, 1),
       0,
       "channel flows: 2 payloads, 2 stored, 0 failed, 0 empty, 3 rows\n"},
      {"nothing to store is no failure",
       {},
       empty + "\n",
       0,
       "channel flows: 1 payload, 0 stored, 0 failed, 1 empty, 0 rows\n"},
      {"no payloads",
       {},
       "",
       0,
       "channel flows: 0 payloads, 0 stored, 0 failed, 0 empty, 0 rows\n"},
      {"CRLF line ends, a blank line among them",
       {},
       crlf(Payload(100, 2) + "\n" + Payload(160, 1)),
       0,
       "channel flows: 2 payloads, 2 stored, 0 failed, 0 empty, 3 rows\n"},
      {"one failed",
       {},
       Payload(100, 2) + "not json\n",
       3,
       "channel flows: 2 payloads, 1 stored, 1 failed, 0 empty, 2 rows; last error: flows: JSON "
       "parse error: [json.exception.parse_error.101] parse error at line 1, column 2: syntax "
       "error while parsing value - invalid literal; last read: 'no'\n"},
      {"not configured",
       {"-C", "flow"},
       Payload(100, 1),
       3,
       "channel flow: not configured, 1 payload dropped\n"
       "tavrin-sink-host: channel flows: 1 payload, 1 stored, 0 failed, 0 empty, 1 row\n"},
      {"disabled", {"-C", "old"}, Payload(100, 1), 3, "channel old: disabled, 1 payload dropped\n"},
      {"line skipped",
       {"--max-line-bytes", "300"},
       Payload(100, 1) + too_long,
       3,
       "channel flows: 1 payload, 1 stored, 0 failed, 0 empty, 1 row\n"
       "tavrin-sink-host: 1 line skipped, longer than 300 bytes (--max-line-bytes)\n"},
      {"lines skipped",
       {"--max-line-bytes", "200"},
       too_long + too_long + Payload(1, 1) + too_long,
       3,
       "channel flows: 1 payload, 1 stored, 0 failed, 0 empty, 1 row\n"
       "tavrin-sink-host: 3 lines skipped, longer than 200 bytes (--max-line-bytes)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir.File("flows.db"));
    const HostResult result = RunHost(Args(c.more), dir.path(), c.input);
    EXPECT_EQ(c.code, result.code) << result.err;
    const std::string ending = "\ntavrin-sink-host: " + c.ending;
    ASSERT_GE(result.err.size(), ending.size()) << result.err;
    EXPECT_EQ(ending, result.err.substr(result.err.size() - ending.size()));
  }
  EXPECT_THAT(RunHost({"--help"}, dir.path()).out,
              HasSubstr("Exit status: 0 every payload was stored (or had nothing to store);\n"
                        "1 the plugin's worker failed: a configuration file that is missing, "
                        "unreadable\nor invalid, or a database that cannot be opened; 2 a usage "
                        "or loading error;\n3 the run completed, but payloads failed, were "
                        "dropped for a channel that is\nnot configured or is disabled, or were "
                        "skipped. The summary's last lines say\nwhich.\n"));
}

TEST_F(HostTest, AFailureBeforeAReloadStillCounts) {
  // The reload starts the status counters again; the exit status must not forget.
  HostProcess host(Args({"-d"}), dir.path());
  host.Write("not json\n");
  ASSERT_TRUE(LogShows(host, "JSON parse error"));
  host.Signal(SIGHUP);
  ASSERT_TRUE(LogShows(host, "Loading configuration", 2));
  host.Write(Payload(100, 1));
  host.CloseInput();
  EXPECT_EQ(3, host.Wait());
  // The summary says so: the failure is no longer in the channel's counts.
  EXPECT_THAT(
      host.Stderr(),
      HasSubstr("tavrin-sink-host: channel flows: 1 payload, 1 stored, 0 failed, 0 empty, 1 row\n"
                "tavrin-sink-host: 1 payload failed before the last reload; the counts "
                "above start there\n"));
}

TEST_F(HostTest, SummaryHasALineForEveryChannelGiven) {
  WriteConfig(dir.path(),
              R"(, "old": {"db_name": "old.db", "enable": false, "data_source": "aggregator",
      "tables": [{"name": "t", "columns": [{"name": "ip", "type": "TEXT"}]}]})");
  const HostResult result = RunHost(Args({"-C", "old", "-C", "flow", "-C", "flow"}), dir.path(),
                                    Payload(100, 1) + Payload(160, 2));
  EXPECT_EQ(3, result.code);
  EXPECT_EQ(
      "sink-sqlite: Tavrin SQLite Sink Plugin v" TVS_VERSION
      "\n"
      "tavrin-sink-host: warning: channel flow is not configured; its payloads are dropped\n"
      "tavrin-sink-host: warning: channel old is disabled in the configuration; its payloads are "
      "dropped\n"
      "tavrin-sink-host: channel flow: not configured, 2 payloads dropped\n"
      "tavrin-sink-host: channel flows: 2 payloads, 2 stored, 0 failed, 0 empty, 3 rows\n"
      "tavrin-sink-host: channel old: disabled, 2 payloads dropped\n",
      result.err);
  EXPECT_EQ(0, tv_file_exists(dir.File("old.db")));
}

TEST_F(HostTest, FailedPayloadsAreNamedByTheirLine) {
  // Line 2 is no JSON, line 3 empty, line 5 lacks the NOT NULL ip.
  dir.Write("p.jsonl",
            Payload(100, 1) + "not json\n\n" + Payload(160, 1) +
                R"({"log_time_start": 220, "log_time_end": 280, "stats": [{"bytes": 1}]})" + "\n");
  HostResult result = RunHost(Args({dir.File("p.jsonl")}), dir.path());
  EXPECT_EQ(3, result.code);
  EXPECT_THAT(result.err,
              HasSubstr("\ntavrin-sink-host: " + dir.File("p.jsonl") +
                        ", line 2: failed on channel flows: flows: JSON parse error: "
                        "[json.exception.parse_error.101] parse error at line 1, column 2: syntax "
                        "error while parsing value - invalid literal; last read: 'no'\n"
                        "tavrin-sink-host: " +
                        dir.File("p.jsonl") +
                        ", line 5: failed on channel flows: flows: SQLite stats insert failed: NOT "
                        "NULL constraint failed: talkers.ip\ntavrin-sink-host: channel flows: 4 "
                        "payloads, 2 stored, 2 failed"));

  // Up to ten are named, the rest counted; the debug log names none.
  std::string many;
  for (int i = 0; i < 13; ++i) many += "[" + std::to_string(i) + "\n";
  result = RunHost(Args(), dir.path(), many);
  EXPECT_EQ(3, result.code);
  EXPECT_THAT(result.err, HasSubstr("tavrin-sink-host: standard input, line 10: failed on channel "
                                    "flows: flows: JSON parse error: "));
  EXPECT_THAT(result.err, Not(HasSubstr("standard input, line 11:")));
  EXPECT_THAT(
      result.err,
      HasSubstr("\ntavrin-sink-host: 3 more failed payloads not listed (-d logs every "
                "failure)\ntavrin-sink-host: channel flows: 13 payloads, 0 stored, 13 failed"));
  result = RunHost(Args({"-d"}), dir.path(), many);
  EXPECT_EQ(3, result.code);
  EXPECT_THAT(result.err, Not(HasSubstr("failed on channel")));
}

TEST_F(HostTest, PayloadsCommittedTogetherAreNamedEachByItsOwnLine) {
  dir.Write("sink.json", R"({"db_path": ")" + dir.path() + R"(", "channels": {
      "flows": {"db_name": "flows.db", "data_source": "aggregator", "commit_batch": 64, "tables": [{"name": "talkers",
          "columns": [{"name": "ip", "type": "TEXT", "not_null": true}]}]}}})");
  std::string input;
  for (int k = 1; k <= 200; ++k) input += k == 150 ? "not json\n" : Payload(60 * k, 1);
  const HostResult result = RunHost(Args(), dir.path(), input);
  EXPECT_EQ(3, result.code);
  // However the worker drained the queue, the line named is line 150 alone.
  EXPECT_THAT(result.err, HasSubstr("\ntavrin-sink-host: standard input, line 150: failed on "
                                    "channel flows: flows: JSON parse error: "));
  EXPECT_THAT(result.err, Not(HasSubstr("payloads failed")));
  EXPECT_EQ((Rows{{"199"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(HostTest, FilesThePluginCannotOpenGetTheSystemsReason) {
  const std::string unreachable = UnprivilegedCannotRunHost();
  if (!unreachable.empty()) GTEST_SKIP() << unreachable;
  // Reachable by the unprivileged host; the modes below are what is tested.
  chmod(dir.path().c_str(), 0777);
  std::filesystem::create_directory(dir.File("ro"));
  struct Case {
    const char* name;
    std::string config;
    std::function<void()> prepare;
    std::string lines;  // the end of standard error
  };
  const std::vector<Case> cases = {
      {"configuration missing", dir.File("none.json"), [] {},
       "error: sink-sqlite: error opening configuration: " + dir.File("none.json") +
           "\ntavrin-sink-host: " + dir.File("none.json") + ": No such file or directory\n"},
      {"configuration unreadable", dir.File("sink.json"),
       [&] { chmod(dir.File("sink.json").c_str(), 0); },
       "error: sink-sqlite: error opening configuration: " + dir.File("sink.json") +
           "\ntavrin-sink-host: " + dir.File("sink.json") + ": Permission denied\n"},
      {"database directory not writable", dir.File("sink.json"),
       [&] {
         WriteConfig(dir.File("ro"));
         chmod(dir.File("ro").c_str(), 0555);
       },
       "error: flows: cannot open DB: " + dir.File("ro") +
           "/flows.db: unable to open database file\ntavrin-sink-host: " + dir.File("ro") +
           ": Permission denied\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteConfig(dir.path());
    chmod(dir.File("sink.json").c_str(), 0644);
    c.prepare();
    HostLaunch launch;
    launch.unprivileged = true;
    const HostResult result = RunHost({"-c", c.config, "-C", "flows"}, dir.path(), "", launch);
    EXPECT_EQ(1, result.code);
    ASSERT_GE(result.err.size(), c.lines.size()) << result.err;
    EXPECT_EQ(c.lines, result.err.substr(result.err.size() - c.lines.size()));
  }
}

TEST_F(HostTest, EveryOptionIsInTheReadmeAndTheManPage) {
  const std::string help = RunHost({"--help"}, dir.path()).out;
  const std::string readme = ReadFile(TVS_SOURCE_DIR "/README.md");
  const std::string man = ReadFile(TVS_SOURCE_DIR "/man/tavrin-sink-host.1");
  const size_t usage = readme.find("\ntavrin-sink-host -c CONFIG -C CHANNEL");
  ASSERT_NE(std::string::npos, usage);
  const std::string block = readme.substr(usage, readme.find("```", usage) - usage);
  const std::regex option("\n  (?:-[a-zA-Z], |    )--([a-z-]+)");
  int options = 0;
  for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it, ++options) {
    const std::string name = (*it)[1];
    SCOPED_TRACE(name);
    EXPECT_THAT(block, HasSubstr("--" + name + " ")) << "README usage block";
    EXPECT_THAT(man, HasSubstr("\\-\\-" + std::regex_replace(name, std::regex("-"), "\\-")))
        << "man page";
  }
  EXPECT_EQ(11, options);
  // Where the plugin is looked for, and the exit statuses, in all three.
  for (const std::string& text : {help, block, man}) {
    EXPECT_THAT(text, HasSubstr("installed one in"));
    EXPECT_THAT(text, HasSubstr("tavrin/plugins"));
  }
  EXPECT_THAT(readme, HasSubstr("3 the run completed, but payloads failed"));
  EXPECT_THAT(man, HasSubstr("3\nThe run completed, but payloads failed"));
}

namespace {

struct FlowgenResult {
  int code;
  std::string out, err;
};

FlowgenResult RunFlowgen(const TempDir& dir, const std::string& args) {
  const std::string command = std::string(TVS_FLOWGEN_PATH) + " " + args + " > " +
                              dir.File("gen.out") + " 2> " + dir.File("gen.err");
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir.File("gen.out")),
          ReadFile(dir.File("gen.err"))};
}

std::vector<json> Lines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(json::parse(line));
  return lines;
}

}  // namespace

TEST(FlowgenTest, PairsProtocolsWithTheirTransportsAndPortsAsRealTrafficDoes) {
  TempDir dir;
  const FlowgenResult result = RunFlowgen(dir, "--payloads 40 --entries 50 --start 6000");
  ASSERT_EQ(0, result.code) << result.err;
  // Detected protocol: IP protocol and server port.
  const std::map<std::string, std::pair<int, int>> expected = {
      {"DNS", {17, 53}},   {"NTP", {17, 123}}, {"SSH", {6, 22}},
      {"QUIC", {17, 443}}, {"TLS", {6, 443}},  {"HTTP", {6, 80}},
      {"IMAPS", {6, 993}}, {"SMTP", {6, 587}}, {"STUN", {17, 3478}}};
  std::set<std::string> seen;
  std::map<std::string, std::set<std::string>> protocols_of;
  const std::vector<json> payloads = Lines(result.out);
  ASSERT_EQ(40u, payloads.size());
  for (size_t i = 0; i < payloads.size(); ++i) {
    EXPECT_EQ(6000 + 60 * static_cast<int>(i), payloads[i]["log_time_start"]);
    EXPECT_EQ(6060 + 60 * static_cast<int>(i), payloads[i]["log_time_end"]);
    for (const json& flow : payloads[i]["stats"]) {
      const std::string detected = flow["detected_protocol"];
      SCOPED_TRACE(flow.dump());
      ASSERT_TRUE(expected.count(detected));
      EXPECT_EQ(expected.at(detected),
                std::make_pair(flow["protocol"].get<int>(), flow["other_port"].get<int>()));
      seen.insert(detected);
      protocols_of[flow["application"]].insert(detected);
    }
  }
  EXPECT_EQ(expected.size(), seen.size());
  // Name services speak DNS only, mail no web protocol.
  EXPECT_EQ(std::set<std::string>{"DNS"}, protocols_of["resolver.example"]);
  EXPECT_EQ(std::set<std::string>{"NTP"}, protocols_of["time.example"]);
  EXPECT_EQ((std::set<std::string>{"IMAPS", "SMTP"}), protocols_of["mail.example"]);
}

TEST(FlowgenTest, StartsByDefaultSoThatTheLastIntervalEndsNow) {
  TempDir dir;
  const long before = static_cast<long>(time(nullptr)) / 60 * 60;
  const FlowgenResult result = RunFlowgen(dir, "--payloads 30 --entries 1");
  const long after = static_cast<long>(time(nullptr)) / 60 * 60;
  ASSERT_EQ(0, result.code) << result.err;
  const std::vector<json> payloads = Lines(result.out);
  ASSERT_EQ(30u, payloads.size());
  const long end = payloads.back()["log_time_end"];
  EXPECT_TRUE(end == before || end == after) << end;
  EXPECT_EQ(end - 30 * 60, payloads.front()["log_time_start"].get<long>());
  // A given seed and start give the same output; another seed does not.
  EXPECT_EQ(RunFlowgen(dir, "--payloads 3 --start 600 --seed 7").out,
            RunFlowgen(dir, "--start 600 --payloads 3 --seed 7").out);
  EXPECT_NE(RunFlowgen(dir, "--payloads 3 --start 600 --seed 7").out,
            RunFlowgen(dir, "--payloads 3 --start 600 --seed 8").out);
  const std::string help = RunFlowgen(dir, "--help").out;
  EXPECT_THAT(help, HasSubstr("  --seed S       the same seed and start give the same output "
                              "(default: 1)\n"));
  EXPECT_THAT(help, HasSubstr("  --start EPOCH  start of the first interval, in seconds since "
                              "1970 (default:\n                 the current minute less N "
                              "minutes"));
}

TEST(FlowgenTest, UsageErrorsNameTheOptionAndExitTwo) {
  TempDir dir;
  for (const auto& [args, message] : std::vector<std::pair<std::string, std::string>>{
           {"--bogus", "unknown option --bogus"},
           {"--payloads 3 -x", "unknown option -x"},
           {"--payloads", "option --payloads needs a value"},
           {"--seed x", "--seed takes an unsigned number, not \"x\""},
           {"--entries -1", "--entries takes an unsigned number, not \"-1\""}}) {
    SCOPED_TRACE(args);
    const FlowgenResult result = RunFlowgen(dir, args);
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(
        "tavrin-flowgen: " + message + "\nTry 'tavrin-flowgen --help' for more information.\n",
        result.err);
    EXPECT_EQ("", result.out);
  }
}

TEST(ConfigurationDocuments, TheCommentedConfigurationNamesEveryKey) {
  const std::string man = ReadFile(TVS_SOURCE_DIR "/man/tavrin-sink-sqlite.5");
  const std::string commented = ReadFile(TVS_SOURCE_DIR "/examples/sink-sqlite.json");
  // The keys of the top level, the channel object and the field settings.
  const std::string keys = man.substr(0, man.find("\n.SH TABLE SCHEMAS"));
  const std::regex key("\n\\.BR ([a-z_]+) \"");
  int count = 0;
  for (std::sregex_iterator it(keys.begin(), keys.end(), key), end; it != end; ++it, ++count) {
    SCOPED_TRACE((*it)[1].str());
    EXPECT_THAT(commented, HasSubstr("\"" + (*it)[1].str() + "\": "));
  }
  EXPECT_GE(count, 20);
}
