// Arbitrary bytes as the payload text of an aggregator channel on a real
// database. After every input the stored rows must match the result: -1 and 0
// add nothing; n > 0 adds one interval row holding exactly n entry rows. The
// same text read by the JSON library's reader alone, on a second file, must
// give the same result, the same rows and the same log lines; written through
// the parsed document on a third, the same result and rows.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>
#include <stdlib.h>

#include "channelState.h"
#include "fastReader.h"
#include "fuzzTarget.h"
#include "jsonParse.h"
#include "tvGlobalConfig.h"
#include "tvStandin.h"
#include "tvsChannelConfig.h"

namespace {

const char kChannel[] = R"({"data_source": "aggregator", "tables": [
    {"name": "flows", "columns": [
      {"name": "ip", "type": "TEXT"},
      {"name": "bytes", "type": "INTEGER"},
      {"name": "app", "type": "TEXT", "mapped": "application", "split": 0},
      {"name": "domain", "type": "TEXT", "mapped": "application", "split": 1},
      {"name": "port", "type": "INTEGER", "mapped": "p", "not_null": false},
      {"name": "note", "type": "REAL"},
      {"name": "tag", "type": "TEXT", "not_null": true, "default": "none"}]}]})";

int64_t count(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  int64_t value = -1;
  if (sqlite3_step(statement) == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return value;
}

// The newest interval's entry rows as text.
std::string newestRows(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(
      db,
      "SELECT quote(ip) || quote(bytes) || quote(app) || quote(domain) || quote(port) || quote(note) "
      "|| quote(tag) FROM flows WHERE interval_id = (SELECT max(id) FROM fuzz_intervals) ORDER BY id",
      -1, &statement, nullptr);
  std::string rows;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    rows += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    rows += '\n';
  }
  sqlite3_finalize(statement);
  return rows;
}

[[noreturn]] void violated(const char* what, int result) {
  std::fprintf(stderr, "invariant violated: %s (result %d)\n", what, result);
  std::abort();
}

void open(tvsChannelConfig& record, const std::string& dir, const char* db_name) {
  nlohmann::json config = nlohmann::json::parse(kChannel);
  config["db_name"] = db_name;
  record.db_path = dir;
  record.Load("fuzz", config);
  std::streambuf* saved = std::cout.rdbuf(nullptr);  // "Found table" lines
  record.InitDatabase();
  std::cout.rdbuf(saved);
  // Durability is not under test; fsync per input would only slow the search.
  sqlite3_exec(record.db.get(), "PRAGMA synchronous = OFF;", nullptr, nullptr, nullptr);
}

// The document's result when the document path cannot build the text: the
// streamed path skips deep members that nothing stores.
constexpr int kNotBuilt = -2;

// The document path: what InsertPayload returns when it parses the whole text.
int throughDocument(tvsChannelConfig& record, const std::string& text) {
  nlohmann::json payload;
  try {
    payload = parseJsonDocument(text);
  } catch (const nlohmann::json::exception&) {
    return -1;
  } catch (const tvsNestingError&) {
    return kNotBuilt;
  }
  const auto stats = payload.find("stats");
  if (stats == payload.end() || !stats->is_array() || stats->empty()) return 0;
  try {
    return record.ProcessAggregateData(payload);
  } catch (const nlohmann::json::exception&) {
    return -1;
  }
}

struct Channels {
  Channels() {
    char pattern[] = "/tmp/tvs-fuzz-XXXXXX";
    dir = mkdtemp(pattern);
    tvGlobalConfig::instance = &global;
    tvSetLogHandler([this](tvLogLevel, const std::string& line) { lines.push_back(line); });
    open(streamed, dir, "streamed.db");
    open(reference, dir, "reference.db");
    reference.state->fast_reader.reset();
    open(parsed, dir, "parsed.db");
  }
  ~Channels() {
    streamed.CloseDatabase();
    reference.CloseDatabase();
    parsed.CloseDatabase();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::string dir;
  tvGlobalConfig global;
  tvsChannelConfig streamed;
  tvsChannelConfig reference;
  tvsChannelConfig parsed;
  std::vector<std::string> lines;
  int inputs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Channels channels;
  sqlite3* db = channels.streamed.db.get();
  if (++channels.inputs % 1000 == 0) {
    sqlite3_exec(db, "DELETE FROM fuzz_intervals;", nullptr, nullptr, nullptr);
    for (tvsChannelConfig* other : {&channels.reference, &channels.parsed})
      sqlite3_exec(other->db.get(), "DELETE FROM fuzz_intervals;", nullptr, nullptr, nullptr);
  }

  const int64_t intervals = count(db, "SELECT count(*) FROM fuzz_intervals");
  const int64_t entries = count(db, "SELECT count(*) FROM flows");
  // With the room after it that the plugin's own copy has, as a text built by
  // appending may have or lack.
  std::string text;
  if (size % 2 == 0) text.reserve(size + kReaderPadding);
  text.assign(reinterpret_cast<const char*>(data), size);
  channels.lines.clear();
  const int result = channels.streamed.InsertPayload(text);
  const std::vector<std::string> lines = std::move(channels.lines);
  channels.lines.clear();
  if (channels.reference.InsertPayload(text) != result)
    violated("the reference reader gives another result", result);
  if (channels.lines != lines) violated("the reference reader logs other lines", result);
  if (result > 0 && newestRows(db) != newestRows(channels.reference.db.get()))
    violated("the reference reader stores other values", result);
  const int document = throughDocument(channels.parsed, text);
  if (document != result && document != kNotBuilt)
    violated("the document path gives another result", result);
  if (result > 0 && document == result && newestRows(db) != newestRows(channels.parsed.db.get())) {
    violated("the document path stores other values", result);
  }

  const int64_t new_intervals = count(db, "SELECT count(*) FROM fuzz_intervals");
  const int64_t new_entries = count(db, "SELECT count(*) FROM flows");
  if (result < -1) violated("result below -1", result);
  if (result <= 0) {
    // An interval alone is stored only for an empty "stats", which never
    // reaches the writer.
    if (new_intervals != intervals || new_entries != entries)
      violated("rows added without a count", result);
    return 0;
  }
  if (new_intervals != intervals + 1) violated("not exactly one interval row", result);
  if (new_entries != entries + result) violated("entry rows differ from the result", result);
  const int64_t last = count(
      db, "SELECT count(*) FROM flows WHERE interval_id = (SELECT max(id) FROM fuzz_intervals)");
  if (last != result) violated("the interval does not hold its entries", result);
  return 0;
}
