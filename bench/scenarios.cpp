#include "scenarios.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "flowPayloads.h"
#include "insertSql.h"
#include "purge.h"
#include "tvGlobalConfig.h"
#include "tvPluginSink.h"
#include "tvStandin.h"
#include "tvsChannelConfig.h"

using json = nlohmann::json;

const char kBenchTable[] = R"({"name": "flow_stats", "columns": [
    {"name": "local_ip", "type": "TEXT"},
    {"name": "other_ip", "type": "TEXT"},
    {"name": "local_port", "type": "INTEGER"},
    {"name": "other_port", "type": "INTEGER"},
    {"name": "ip_protocol", "type": "INTEGER", "mapped": "protocol"},
    {"name": "app", "type": "TEXT", "mapped": "application", "split": 0},
    {"name": "protocol", "type": "TEXT", "mapped": "detected_protocol"},
    {"name": "category", "type": "INTEGER"},
    {"name": "bytes_in", "type": "INTEGER"},
    {"name": "bytes_out", "type": "INTEGER"},
    {"name": "packets_in", "type": "INTEGER"},
    {"name": "packets_out", "type": "INTEGER"},
    {"name": "digest", "type": "TEXT"}]})";

namespace {

using Factory = tvPluginSink* (*)(const std::string&, const std::map<std::string, std::string>&);

int database_number = 0;

std::string freshName(const char* kind) {
  return std::string(kind) + "-" + std::to_string(++database_number) + ".db";
}

json channel_settings = json::object();
std::atomic<size_t> failed_payloads{0};

json channelConfig(const std::string& db_name) {
  json config = {{"db_name", db_name},
                 {"data_source", "aggregator"},
                 {"tables", json::array({json::parse(kBenchTable)})}};
  config.update(channel_settings);
  return config;
}

// Another process's dashboard: short read transactions, one after another.
class Reader {
 public:
  explicit Reader(const std::string& path) {
    sqlite3_open(path.c_str(), &db);
    thread = std::thread([this] {
      while (!stop) {
        sqlite3_exec(db, "BEGIN; SELECT count(*) FROM flow_stats;", nullptr, nullptr, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~Reader() {
    stop = true;
    thread.join();
    sqlite3_close(db);
  }

 private:
  sqlite3* db = nullptr;
  std::atomic<bool> stop{false};
  std::thread thread;
};

tvGlobalConfig global;

// Creates the benchmark channel's file with the plugin's own schema and keeps
// its connection open (foreign keys on, as the plugin has them).
std::unique_ptr<tvsChannelConfig> openChannel(const std::string& dir, const std::string& db_name) {
  auto channel = std::make_unique<tvsChannelConfig>();
  channel->db_path = dir;
  channel->Load("bench", channelConfig(db_name));
  std::streambuf* saved = std::cout.rdbuf(nullptr);
  channel->InitDatabase();
  std::cout.rdbuf(saved);
  return channel;
}

void exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string text = error ? error : "unknown";
    sqlite3_free(error);
    throw std::runtime_error(sql + ": " + text);
  }
}

// One entry value as the floor binds it.
struct Value {
  enum Kind { kNull, kInteger, kText } kind = kNull;
  int64_t integer = 0;
  std::string text;
};

// Runs `argv` with its output thrown away; wall seconds, or -1 when it could
// not start or failed.
double timedProcess(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(child, &status, 0);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall.count() : -1;
}

}  // namespace

void installAgent() {
  tvGlobalConfig::instance = &global;
  tvSetLogHandler([](tvLogLevel, const std::string& line) {
    if (line.find(": Transaction aborted") != std::string::npos ||
        line.find(": JSON parse error") != std::string::npos) {
      ++failed_payloads;
    }
  });
}

void setChannelSettings(const json& settings) { channel_settings = settings; }

PayloadSet makePayloadSet(const std::string& name, size_t payloads, size_t entries, unsigned seed) {
  PayloadSet set;
  set.name = name;
  set.payloads = payloads;
  set.entries = entries;
  FlowPayloadGenerator generator(seed);
  for (size_t i = 0; i < payloads; ++i) set.texts.push_back(generator.Next(entries));
  return set;
}

std::vector<PayloadSet> makeShapes(size_t scale) {
  const auto one = [](const std::string& name, size_t entries, std::string text) {
    PayloadSet set;
    set.name = name;
    set.payloads = 1;
    set.entries = entries;
    set.texts.push_back(std::move(text));
    return set;
  };
  const auto repeated = [](const std::string& element, size_t count) {
    std::string stats;
    stats.reserve(count * (element.size() + 1));
    for (size_t i = 0; i < count; ++i) {
      if (i) stats += ',';
      stats += element;
    }
    return R"({"log_time_start": 1765000000, "log_time_end": 1765000060, "stats": [)" + stats +
           "]}";
  };
  std::vector<PayloadSet> shapes;
  FlowPayloadGenerator generator(11);
  const size_t flows = 20000 / scale;
  shapes.push_back(one("flow records", flows, generator.Next(flows)));
  // The same with a comment: read by the JSON library's reader.
  shapes.push_back(one("flow records, commented", flows, "// a comment\n" + generator.Next(flows)));
  const size_t tiny = 2000000 / scale;
  shapes.push_back(one("stats [0, 0, ...]", tiny, repeated("0", tiny)));
  shapes.push_back(one("stats [{}, {}, ...]", tiny, repeated("{}", tiny)));
  shapes.push_back(
      one("stats [{\"local_port\": 0}, ...]", tiny / 2, repeated(R"({"local_port":0})", tiny / 2)));
  return shapes;
}

Measurement runPlugin(const std::string& plugin_path, const std::string& dir, const PayloadSet& set,
                      bool reader) {
  void* library = dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) throw std::runtime_error(std::string("cannot load plugin: ") + dlerror());
  const auto factory = reinterpret_cast<Factory>(dlsym(library, "tvPluginInit"));
  if (!factory) throw std::runtime_error("plugin exports no tvPluginInit");

  const std::string config = dir + "/bench-sink.json";
  const std::string db_name = freshName("plugin");
  {
    std::ofstream out(config);
    out << json{{"db_path", dir}, {"channels", {{"bench", channelConfig(db_name)}}}}.dump();
  }
  std::vector<std::shared_ptr<tvPluginSinkPayload>> payloads;
  for (const std::string& text : set.texts) {
    payloads.push_back(std::make_shared<tvPluginSinkPayload>(text.data(), text.size(),
                                                             std::set<std::string>{"bench"}));
  }

  // Opened before the plugin exists, so its worker thread inherits it.
  InstructionCounter instructions;
  std::streambuf* saved = std::cout.rdbuf(nullptr);  // "Found table" lines
  std::unique_ptr<tvPluginSink> plugin(factory("bench", {{"config", config}, {"type", "1"}}));
  plugin->Create();
  // Configuration loaded, database open.
  if (!plugin->WaitUntilIdle()) throw std::runtime_error("plugin failed: " + plugin->EntryError());

  std::unique_ptr<Reader> dashboard(reader ? new Reader(dir + "/" + db_name) : nullptr);
  failed_payloads = 0;
  const Stopwatch watch(&instructions);
  for (const auto& payload : payloads) plugin->QueuePayload(payload);
  plugin->WaitUntilIdle();
  Measurement measured = watch.Stop();
  measured.failed = failed_payloads;
  dashboard.reset();

  plugin->Terminate();
  plugin.reset();
  std::cout.rdbuf(saved);
  dlclose(library);
  return measured;
}

Measurement runParseOnly(const PayloadSet& set) {
  const Stopwatch watch;
  for (const std::string& text : set.texts) {
    const json parsed = json::parse(text, nullptr, true, true);
    if (!parsed.is_object()) throw std::runtime_error("unexpected payload");
  }
  return watch.Stop();
}

Measurement runInsertFloor(const std::string& dir, const PayloadSet& set, FloorKind kind) {
  const bool lean = kind != FloorKind::kDescribed;
  auto channel = openChannel(dir, freshName("floor"));
  sqlite3* db = channel->db.get();
  const json& table = channel->tables[0];
  const std::string entry_sql = generateInsertSQL(table);

  // Every value converted beforehand, as the plugin would bind it.
  struct Payload {
    int64_t start, end;
    std::vector<std::vector<Value>> rows;
  };
  std::vector<Payload> payloads;
  for (const std::string& text : set.texts) {
    const json parsed = json::parse(text);
    Payload payload{
        parsed["log_time_start"].get<int64_t>(), parsed["log_time_end"].get<int64_t>(), {}};
    for (const json& entry : parsed["stats"]) {
      std::vector<Value> row;
      for (const json& column : table["columns"]) {
        const std::string column_name = column["name"];
        if (column_name == "id" || column_name == "interval_id") continue;
        const json& value = entry[column.value("mapped", column_name)];
        Value converted;
        if (column["type"] == "TEXT") {
          converted.kind = Value::kText;
          converted.text = value.get<std::string>();
          if (column.value("split", -1) == 0)
            converted.text = converted.text.substr(0, converted.text.find('.'));
        } else {
          converted.kind = Value::kInteger;
          converted.integer = value.get<int64_t>();
        }
        row.push_back(std::move(converted));
      }
      payload.rows.push_back(std::move(row));
    }
    payloads.push_back(std::move(payload));
  }

  // The lean floor makes the calls the plugin makes, at their cheapest:
  // statements prepared once, every parameter bound for every row (so no
  // clearing), text bound in place. The other makes them as the writer's
  // description has it: statements prepared per payload, bindings cleared
  // per row, text copied.
  const std::string interval_sql =
      "INSERT INTO bench_intervals (time_start, time_end) VALUES (?, ?)";
  sqlite3_stmt* interval = nullptr;
  sqlite3_stmt* entry = nullptr;
  const auto prepareBoth = [&] {
    sqlite3_prepare_v2(db, interval_sql.c_str(), -1, &interval, nullptr);
    sqlite3_prepare_v2(db, entry_sql.c_str(), -1, &entry, nullptr);
  };
  const auto finalizeBoth = [&] {
    sqlite3_finalize(interval);
    sqlite3_finalize(entry);
  };
  if (lean) prepareBoth();
  // Grouped statements by their rows, each prepared on first use.
  constexpr size_t kGroupRows = 32;
  std::vector<sqlite3_stmt*> grouped(kGroupRows + 1, nullptr);
  const auto groupedStatement = [&](size_t rows) {
    if (!grouped[rows]) {
      sqlite3_prepare_v2(db, generateGroupedInsertSQL(table, rows).c_str(), -1, &grouped[rows],
                         nullptr);
    }
    return grouped[rows];
  };
  // One row's values from parameter `first` on: the interval id, then each
  // value; text in place, or copied as the writer was first described.
  const auto bindRow = [lean](sqlite3_stmt* statement, int first, int64_t interval_id,
                              const std::vector<Value>& row) {
    sqlite3_bind_int64(statement, first, interval_id);
    int parameter = first + 1;
    for (const Value& value : row) {
      if (value.kind == Value::kText) {
        sqlite3_bind_text64(statement, parameter, value.text.data(), value.text.size(),
                            lean ? SQLITE_STATIC : SQLITE_TRANSIENT, SQLITE_UTF8);
      } else if (value.kind == Value::kInteger) {
        sqlite3_bind_int64(statement, parameter, value.integer);
      } else {
        sqlite3_bind_null(statement, parameter);
      }
      ++parameter;
    }
  };
  // The floor runs on this thread alone.
  InstructionCounter instructions;
  const Stopwatch watch(&instructions);
  for (const Payload& payload : payloads) {
    exec(db, "BEGIN TRANSACTION;");
    if (!lean) prepareBoth();
    sqlite3_reset(interval);
    sqlite3_bind_int64(interval, 1, payload.start);
    sqlite3_bind_int64(interval, 2, payload.end);
    if (sqlite3_step(interval) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    const int64_t interval_id = sqlite3_last_insert_rowid(db);
    if (kind == FloorKind::kGrouped) {
      for (size_t first = 0; first < payload.rows.size(); first += kGroupRows) {
        const size_t rows = std::min(kGroupRows, payload.rows.size() - first);
        sqlite3_stmt* statement = groupedStatement(rows);
        sqlite3_reset(statement);
        for (size_t r = first; r < first + rows; ++r) {
          bindRow(statement, static_cast<int>((r - first) * (payload.rows[r].size() + 1)) + 1,
                  interval_id, payload.rows[r]);
        }
        if (sqlite3_step(statement) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
      }
      exec(db, "COMMIT;");
      continue;
    }
    for (const auto& row : payload.rows) {
      sqlite3_reset(entry);
      if (!lean) sqlite3_clear_bindings(entry);
      bindRow(entry, 1, interval_id, row);
      if (sqlite3_step(entry) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    }
    sqlite3_reset(entry);
    if (!lean) finalizeBoth();
    exec(db, "COMMIT;");
  }
  Measurement measured = watch.Stop();
  if (lean) finalizeBoth();
  for (sqlite3_stmt* statement : grouped) sqlite3_finalize(statement);
  return measured;
}

EndToEnd runEndToEnd(const std::string& bin_dir, const std::string& dir, const PayloadSet& set) {
  const std::string payloads = dir + "/set-" + set.name + ".jsonl";
  if (!std::filesystem::exists(payloads)) {
    std::ofstream out(payloads);
    for (const std::string& text : set.texts) out << text << '\n';
  }
  EndToEnd result;
  const std::string config = dir + "/end-to-end.json";
  {
    std::ofstream out(config);
    out << json{{"db_path", dir}, {"channels", {{"bench", channelConfig(freshName("host"))}}}}
               .dump();
  }
  result.host_seconds =
      timedProcess({bin_dir + "/tavrin-sink-host", "-c", config, "-C", "bench", payloads});
  if (result.host_seconds < 0) throw std::runtime_error("tavrin-sink-host failed on " + payloads);

  // The peer writes into the plugin's own schema.
  const std::string peer_db = freshName("peer");
  const std::string table = dir + "/peer-table.json";
  {
    const auto channel = openChannel(dir, peer_db);
    std::ofstream(table) << channel->tables[0].dump();
  }
  const double peer = timedProcess(
      {"python3", bin_dir + "/tavrin-sink-peer.py", dir + "/" + peer_db, table, payloads});
  result.peer_seconds = peer < 0 ? 0 : peer;
  return result;
}

double runPurge(const std::string& dir, int days) {
  const std::string db_name = freshName("purge");
  auto channel = openChannel(dir, db_name);
  sqlite3* db = channel->db.get();
  const int intervals = days * 1440;
  // Interval i was created (intervals - i) minutes ago: the oldest day is
  // older than days - 1 days.
  exec(
      db,
      "PRAGMA synchronous = OFF; BEGIN;"
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
          std::to_string(intervals - 1) +
          ") INSERT INTO bench_intervals (id, time_start, time_end, created_at) SELECT i + 1, i * 60, i * 60 + 60, "
          "datetime('now', '-' || (" +
          std::to_string(intervals) +
          " - i) || ' minutes') FROM n;"
          "WITH RECURSIVE e(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM e WHERE j < 19) "
          "INSERT INTO flow_stats (interval_id, local_ip, other_ip, bytes_in, digest) "
          "SELECT id, '192.168.1.' || j, '10.0.' || (id % 250) || '.' || j, id * j, hex(randomblob(16)) "
          "FROM bench_intervals, e;"
          "COMMIT;");
  channel.reset();

  const Stopwatch watch;
  PurgeAggregateData("bench", dir, db_name, days - 1);
  return watch.Stop().seconds;
}
