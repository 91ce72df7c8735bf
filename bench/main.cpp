// tavrin-sink-bench: what each stored row costs, measured side by side with
// parsing alone and inserting alone, round by round in one run.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <unistd.h>

#include "scenarios.h"
#include "tvStandin.h"

namespace {

struct Options {
  int rounds = 5;
  bool smoke = false;
  bool json_output = false;
  std::string sets = "ABC";
  std::string plugin;
  std::string dir;
  int purge_days = 30;
  bool reader = false;
  nlohmann::json settings = nlohmann::json::object();
};

void usage(FILE* out) {
  std::fputs(
      "Usage: tavrin-sink-bench [--rounds N] [--sets ABC] [--smoke] [--json] [--plugin FILE] [--dir DIR]\n"
      "                         [--purge-days N] [--commit-batch N] [--rollup COLUMNS] [channel settings]\n"
      "Sets: A = 1,000 payloads x 10 entries, B = 100 x 1,000, C = 10 x 10,000 flow records.\n"
      "Each round runs, for every set: the plugin end to end through the stand-in agent into a\n"
      "fresh file, the JSON library parsing the same texts, and the same rows inserted from\n"
      "converted values (the insert floor); then, as whole processes on the same file, the host\n"
      "and a plain Python script doing the same job. Medians over the rounds are printed.\n"
      "--smoke runs tiny sets once; --purge-days 0 skips the retention scenario.\n"
      "Channel settings, for plugin and floor alike: --journal-mode MODE, --synchronous LEVEL,\n"
      "--busy-timeout MS, --auto-vacuum MODE, --commit-batch N (payloads drained together share one\n"
      "transaction; the floors still commit each payload), --read-ahead (a second thread reads each\n"
      "payload while the one before is written), --rollup COLUMNS (an hourly rollup of the plugin's rows\n"
      "grouped by COLUMNS, a comma-separated list such as local_ip,app, summing bytes and packets\n"
      "both ways and counting flows). --reader keeps a second connection taking short\n"
      "read transactions on the plugin's file while it writes; failed payloads are counted.\n"
      "Per row, plugin against the floor: CPU us (user + system), page faults (minor + major) and\n"
      "context switches (voluntary + involuntary) from getrusage(RUSAGE_SELF), the whole process\n"
      "with all its threads (the plugin's worker included; the floor runs on the calling thread\n"
      "alone); instructions retired in user space from a perf_event_open counter opened before the\n"
      "plugin starts its worker, counting the calling thread and every thread started after it.\n"
      "Where the machine refuses that counter (no hardware counters in a VM, perf_event_paranoid),\n"
      "instructions are n/a (null in --json).\n",
      out);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string defaultPlugin(const char* argv0) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = argv0;
  return (self.parent_path() / "libtavrin-sink-sqlite.so").string();
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--rounds" && has_value) {
      options.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--sets" && has_value) {
      options.sets = argv[++i];
    } else if (arg == "--plugin" && has_value) {
      options.plugin = argv[++i];
    } else if (arg == "--dir" && has_value) {
      options.dir = argv[++i];
    } else if (arg == "--purge-days" && has_value) {
      options.purge_days = std::atoi(argv[++i]);
    } else if ((arg == "--journal-mode" || arg == "--synchronous" || arg == "--auto-vacuum") &&
               has_value) {
      std::string key = arg.substr(2);
      std::replace(key.begin(), key.end(), '-', '_');
      options.settings[key] = argv[++i];
    } else if (arg == "--busy-timeout" && has_value) {
      options.settings["busy_timeout"] = std::atoi(argv[++i]);
    } else if (arg == "--commit-batch" && has_value) {
      options.settings["commit_batch"] = std::atoi(argv[++i]);
    } else if (arg == "--read-ahead") {
      options.settings["read_ahead"] = true;
    } else if (arg == "--rollup" && has_value) {
      nlohmann::json group_by = nlohmann::json::array();
      std::string columns = argv[++i];
      for (size_t start = 0; start < columns.size();) {
        const size_t comma = std::min(columns.find(',', start), columns.size());
        if (comma > start) group_by.push_back(columns.substr(start, comma - start));
        start = comma + 1;
      }
      options.settings["rollups"] = nlohmann::json::parse(R"([{"table": "flow_hourly",
          "seconds": 3600, "count": "flows",
          "sum": ["bytes_in", "bytes_out", "packets_in", "packets_out"]}])");
      options.settings["rollups"][0]["group_by"] = group_by;
    } else if (arg == "--reader") {
      options.reader = true;
    } else if (arg == "--smoke") {
      options.smoke = true;
    } else if (arg == "--json") {
      options.json_output = true;
    } else {
      return false;
    }
  }
  return true;
}

struct SetResult {
  PayloadSet set;
  std::vector<double> plugin_rate, cpu_us_per_row, peak_mib, parse_rate, floor_rate, vs_parse,
      vs_floor, described_rate, vs_described, failed, host_seconds, peer_seconds, host_vs_peer;
  // Per row, plugin against the (lean) insert floor.
  std::vector<double> floor_cpu_us_per_row, plugin_faults, floor_faults, plugin_switches,
      floor_switches;
  // Empty unless every round counted them.
  std::vector<double> plugin_instructions, floor_instructions;
  // The grouped floor: the same rows, up to 32 per statement.
  std::vector<double> grouped_rate, vs_grouped, grouped_cpu_us_per_row;
  bool instructions_counted = true;
};

// The median, or null when there is nothing to take it from.
nlohmann::json medianOrNull(const std::vector<double>& values) {
  return values.empty() ? nlohmann::json() : nlohmann::json(median(values));
}

// Every round runs all three scenarios of every set, so drift in the
// machine's speed touches them alike.
void runRounds(const Options& options, const std::string& dir, std::vector<SetResult>& results) {
  const std::string bin_dir = std::filesystem::path(options.plugin).parent_path().string();
  for (int round = 0; round < options.rounds; ++round) {
    for (SetResult& result : results) {
      const double rows = static_cast<double>(result.set.Rows());
      const Measurement plugin = runPlugin(options.plugin, dir, result.set, options.reader);
      const Measurement parsed = runParseOnly(result.set);
      const Measurement floor = runInsertFloor(dir, result.set, FloorKind::kLean);
      const Measurement described = runInsertFloor(dir, result.set, FloorKind::kDescribed);
      const Measurement grouped = runInsertFloor(dir, result.set, FloorKind::kGrouped);
      const EndToEnd whole = runEndToEnd(bin_dir, dir, result.set);
      result.plugin_rate.push_back(rows / plugin.seconds);
      result.cpu_us_per_row.push_back(plugin.cpu_seconds * 1e6 / rows);
      result.peak_mib.push_back(plugin.peak_mib);
      result.parse_rate.push_back(rows / parsed.seconds);
      result.floor_rate.push_back(rows / floor.seconds);
      result.vs_parse.push_back(parsed.seconds / plugin.seconds);
      result.vs_floor.push_back(floor.seconds / plugin.seconds);
      result.described_rate.push_back(rows / described.seconds);
      result.vs_described.push_back(described.seconds / plugin.seconds);
      result.failed.push_back(static_cast<double>(plugin.failed));
      result.host_seconds.push_back(whole.host_seconds);
      result.peer_seconds.push_back(whole.peer_seconds);
      if (whole.peer_seconds > 0)
        result.host_vs_peer.push_back(whole.host_seconds / whole.peer_seconds);
      result.floor_cpu_us_per_row.push_back(floor.cpu_seconds * 1e6 / rows);
      result.grouped_rate.push_back(rows / grouped.seconds);
      result.vs_grouped.push_back(grouped.seconds / plugin.seconds);
      result.grouped_cpu_us_per_row.push_back(grouped.cpu_seconds * 1e6 / rows);
      result.plugin_faults.push_back(plugin.page_faults / rows);
      result.floor_faults.push_back(floor.page_faults / rows);
      result.plugin_switches.push_back(plugin.context_switches / rows);
      result.floor_switches.push_back(floor.context_switches / rows);
      if (plugin.instructions && floor.instructions) {
        result.plugin_instructions.push_back(*plugin.instructions / rows);
        result.floor_instructions.push_back(*floor.instructions / rows);
      } else {
        result.instructions_counted = false;
      }
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() == ".db") std::filesystem::remove(entry.path());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    usage(stderr);
    return 2;
  }
  if (options.plugin.empty()) options.plugin = defaultPlugin(argv[0]);
  if (options.smoke) {
    options.rounds = 1;
    options.purge_days = std::min(options.purge_days, 2);
  }
  std::string dir = options.dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/tavrin-bench-XXXXXX";
    dir = mkdtemp(pattern);
  }
  installAgent();
  setChannelSettings(options.settings);

  // Sizes: {payloads, entries}; the smoke run divides them.
  const struct {
    char name;
    size_t payloads, entries;
  } kSets[] = {{'A', 1000, 10}, {'B', 100, 1000}, {'C', 10, 10000}};
  std::vector<SetResult> results;
  for (const auto& spec : kSets) {
    if (options.sets.find(spec.name) == std::string::npos) continue;
    const size_t payloads = options.smoke ? std::max<size_t>(1, spec.payloads / 50) : spec.payloads;
    const size_t entries = options.smoke ? std::max<size_t>(1, spec.entries / 50) : spec.entries;
    SetResult result;
    result.set = makePayloadSet(std::string(1, spec.name), payloads, entries, 7);
    results.push_back(std::move(result));
  }

  try {
    runRounds(options, dir, results);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrin-sink-bench: %s\n", e.what());
    return 1;
  }
  // Peak memory of one payload of each shape, against 3x its text + 16 MiB.
  nlohmann::json shapes = nlohmann::json::array();
  try {
    for (const PayloadSet& shape : makeShapes(options.smoke ? 50 : 1)) {
      const Measurement plugin = runPlugin(options.plugin, dir, shape, false);
      const double text_mib = static_cast<double>(shape.texts[0].size()) / (1 << 20);
      shapes.push_back({{"shape", shape.name},
                        {"entries", shape.entries},
                        {"text_mib", text_mib},
                        {"peak_mib", plugin.peak_mib},
                        {"bound_mib", 3 * text_mib + 16},
                        {"failed", plugin.failed}});
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrin-sink-bench: %s\n", e.what());
    return 1;
  }
  const double purge_seconds = options.purge_days > 0 ? runPurge(dir, options.purge_days) : 0;
  if (options.dir.empty()) std::filesystem::remove_all(dir);

  nlohmann::json report = {{"rounds", options.rounds},
                           {"settings", options.settings},
                           {"reader", options.reader},
                           {"sets", nlohmann::json::array()}};
  for (const SetResult& r : results) {
    size_t largest = 0;
    for (const std::string& text : r.set.texts) largest = std::max(largest, text.size());
    report["sets"].push_back(
        {{"set", r.set.name},
         {"payloads", r.set.payloads},
         {"entries", r.set.entries},
         {"payload_mib", static_cast<double>(largest) / (1 << 20)},
         {"plugin_rows_per_s", median(r.plugin_rate)},
         {"plugin_cpu_us_per_row", median(r.cpu_us_per_row)},
         {"plugin_peak_mib", median(r.peak_mib)},
         {"parse_rows_per_s", median(r.parse_rate)},
         {"floor_rows_per_s", median(r.floor_rate)},
         {"plugin_vs_parse", median(r.vs_parse)},
         {"plugin_vs_floor", median(r.vs_floor)},
         {"described_floor_rows_per_s", median(r.described_rate)},
         {"plugin_vs_described_floor", median(r.vs_described)},
         {"failed_payloads", median(r.failed)},
         {"host_seconds", median(r.host_seconds)},
         {"peer_seconds", median(r.peer_seconds)},
         {"host_vs_peer",
          r.host_vs_peer.empty() ? nlohmann::json() : nlohmann::json(median(r.host_vs_peer))},
         {"floor_cpu_us_per_row", median(r.floor_cpu_us_per_row)},
         {"grouped_floor_rows_per_s", median(r.grouped_rate)},
         {"plugin_vs_grouped_floor", median(r.vs_grouped)},
         {"grouped_floor_cpu_us_per_row", median(r.grouped_cpu_us_per_row)},
         {"plugin_instructions_per_row",
          r.instructions_counted ? medianOrNull(r.plugin_instructions) : nlohmann::json()},
         {"floor_instructions_per_row",
          r.instructions_counted ? medianOrNull(r.floor_instructions) : nlohmann::json()},
         {"plugin_page_faults_per_row", median(r.plugin_faults)},
         {"floor_page_faults_per_row", median(r.floor_faults)},
         {"plugin_context_switches_per_row", median(r.plugin_switches)},
         {"floor_context_switches_per_row", median(r.floor_switches)}});
  }
  report["memory"] = shapes;
  if (options.purge_days > 0) {
    report["purge"] = {{"days", options.purge_days},
                       {"entry_rows", options.purge_days * 1440 * 20},
                       {"seconds", purge_seconds}};
  }

  if (options.json_output) {
    std::printf("%s\n", report.dump(2).c_str());
    return 0;
  }
  std::printf("%d round(s), medians; channel settings %s%s\n", options.rounds,
              options.settings.dump().c_str(), options.reader ? "; with a concurrent reader" : "");
  std::printf("%-4s %9s %9s %12s %10s %9s %12s %12s %12s %12s %12s %12s %12s %12s %7s\n", "set",
              "payloads", "entries", "plugin rows/s", "CPU us/row", "peak MiB", "parse rows/s",
              "floor rows/s", "plugin/parse", "plugin/floor", "grouped rows/s", "plugin/grouped",
              "floor2 rows/s", "plugin/floor2", "failed");
  for (const auto& s : report["sets"]) {
    std::printf(
        "%-4s %9zu %9zu %12.0f %10.2f %9.1f %12.0f %12.0f %12.2f %12.2f %12.0f %12.2f %12.0f "
        "%12.2f %7.0f\n",
        s["set"].get<std::string>().c_str(), s["payloads"].get<size_t>(),
        s["entries"].get<size_t>(), s["plugin_rows_per_s"].get<double>(),
        s["plugin_cpu_us_per_row"].get<double>(), s["plugin_peak_mib"].get<double>(),
        s["parse_rows_per_s"].get<double>(), s["floor_rows_per_s"].get<double>(),
        s["plugin_vs_parse"].get<double>(), s["plugin_vs_floor"].get<double>(),
        s["grouped_floor_rows_per_s"].get<double>(), s["plugin_vs_grouped_floor"].get<double>(),
        s["described_floor_rows_per_s"].get<double>(), s["plugin_vs_described_floor"].get<double>(),
        s["failed_payloads"].get<double>());
  }
  std::printf(
      "floor: the same rows converted beforehand, inserted one per statement with the plugin's "
      "calls; grouped:\nthe same, up to 32 rows per statement; floor2: one per statement, "
      "prepared per payload, bindings\ncleared and text copied, as the writer was first "
      "described\n");
  std::printf(
      "\nper row, the plugin against the floor (process CPU and getrusage counters; "
      "user-space instructions)\n");
  std::printf("%-4s %13s %13s %13s %13s %13s %13s %13s %14s %14s\n", "set", "plugin CPU us",
              "floor CPU us", "grouped CPU us", "plugin instr.", "floor instr.", "plugin faults",
              "floor faults", "plugin ctx sw.", "floor ctx sw.");
  const auto count = [](const nlohmann::json& value) {
    char text[32] = "n/a";
    if (!value.is_null()) std::snprintf(text, sizeof(text), "%.0f", value.get<double>());
    return std::string(text);
  };
  for (const auto& s : report["sets"]) {
    std::printf(
        "%-4s %13.2f %13.2f %13.2f %13s %13s %13.3f %13.3f %14.4f %14.4f\n",
        s["set"].get<std::string>().c_str(), s["plugin_cpu_us_per_row"].get<double>(),
        s["floor_cpu_us_per_row"].get<double>(), s["grouped_floor_cpu_us_per_row"].get<double>(),
        count(s["plugin_instructions_per_row"]).c_str(),
        count(s["floor_instructions_per_row"]).c_str(),
        s["plugin_page_faults_per_row"].get<double>(), s["floor_page_faults_per_row"].get<double>(),
        s["plugin_context_switches_per_row"].get<double>(),
        s["floor_context_switches_per_row"].get<double>());
  }
  std::printf(
      "\nend to end, whole processes on the same file: the host against a plain Python "
      "script (json + sqlite3)\n");
  std::printf("%-4s %12s %12s %10s\n", "set", "host s", "python s", "host/python");
  for (const auto& s : report["sets"]) {
    const bool peer = !s["host_vs_peer"].is_null();
    std::printf("%-4s %12.3f %12s %10s\n", s["set"].get<std::string>().c_str(),
                s["host_seconds"].get<double>(),
                peer ? std::to_string(s["peer_seconds"].get<double>()).substr(0, 6).c_str() : "n/a",
                peer ? std::to_string(s["host_vs_peer"].get<double>()).substr(0, 5).c_str()
                     : "(no python3)");
  }
  std::printf(
      "\nmemory per payload: the plugin's peak above its start, one payload of each shape\n");
  std::printf("%-34s %9s %10s %10s %10s %7s\n", "shape", "entries", "text MiB", "peak MiB",
              "bound MiB", "failed");
  for (const auto& m : report["memory"]) {
    std::printf("%-34s %9zu %10.1f %10.1f %10.1f %7zu\n", m["shape"].get<std::string>().c_str(),
                m["entries"].get<size_t>(), m["text_mib"].get<double>(),
                m["peak_mib"].get<double>(), m["bound_mib"].get<double>(),
                m["failed"].get<size_t>());
  }
  if (report.contains("purge")) {
    std::printf("purge: one day out of %d days of one-minute intervals (%d entry rows): %.3f s\n",
                options.purge_days, options.purge_days * 1440 * 20, purge_seconds);
  }
  return 0;
}
