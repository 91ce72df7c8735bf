// Arbitrary bytes as a configuration document through loading, default
// columns and both SQL generators. Only exceptions may come out.
#include <iostream>
#include <stdexcept>
#include <string>

#include "createTableSql.h"
#include "fuzzTarget.h"
#include "insertSql.h"
#include "jsonParse.h"
#include "tvException.h"
#include "tvGlobalConfig.h"
#include "tvStandin.h"
#include "tvsChannelConfig.h"

using json = nlohmann::json;

namespace {

void generate(const json& tables) {
  try {
    generateCreateTableSQL(tables);
  } catch (const tvException&) {
  } catch (const json::exception&) {
  }
  if (!tables.is_array()) return;
  for (const json& table : tables) {
    try {
      generateInsertSQL(table);
    } catch (const std::runtime_error&) {  // json::exception is not one
    } catch (const json::exception&) {
    }
  }
}

void loadChannel(const std::string& name, const json& value) {
  tvsChannelConfig channel;
  try {
    channel.Load(name, value);
  } catch (const tvException&) {  // a setting outside its set
    return;
  }
  generate(channel.tables);
  // Every table as an aggregator's, whatever the document said.
  channel.data_source = "aggregator";
  channel.AddDefaultColumns();
  generate(channel.tables);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tvGlobalConfig global;
  static bool ready = [] {
    tvGlobalConfig::instance = &global;
    global.variables["DATA"] = "/var/lib/tavrin";
    tvSetLogHandler([](tvLogLevel, const std::string&) {});
    std::cout.rdbuf(nullptr);
    return true;
  }();
  (void)ready;

  const std::string text(reinterpret_cast<const char*>(data), size);
  json document;
  try {
    document = parseJsonDocument(text);
  } catch (const json::exception&) {
    return 0;
  } catch (const tvsNestingError&) {
    return 0;
  }
  loadChannel("defaults", document);
  const auto channels = document.find("channels");
  if (channels != document.end() && channels->is_object()) {
    for (const auto& [name, value] : channels->items()) loadChannel(name, value);
  }
  return 0;
}
