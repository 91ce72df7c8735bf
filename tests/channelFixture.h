// A fixture that owns a temp directory, a log capture and channels loaded
// from JSON and opened there.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testSupport.h"
#include "tvsChannelConfig.h"

class ChannelTest : public ::testing::Test {
 protected:
  // The aggregator channel "flows" with the table talkers (ip TEXT, bytes INTEGER).
  static constexpr const char* kTalkers =
      R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [{"name": "talkers", "columns": [
          {"name": "ip", "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}]}]})";

  // The channel object `config` with `members` put first inside its braces.
  static std::string WithMembers(const std::string& config, const std::string& members) {
    std::string text = config;
    const size_t brace = text.find('{');
    if (brace == std::string::npos) throw std::invalid_argument("not an object: " + config);
    return text.insert(brace + 1, members + ", ");
  }

  // `config` with its one "db_name" replaced by `db_name`.
  static std::string WithDbName(const std::string& config, const std::string& db_name) {
    const std::string key = R"("db_name": ")";
    std::string text = config;
    const size_t key_at = text.find(key);
    if (key_at == std::string::npos) throw std::invalid_argument("no db_name: " + config);
    const size_t start = key_at + key.size();
    return text.replace(start, text.find('"', start) - start, db_name);
  }

  // Loads `config` under `name` with db_path set to the temp dir.
  std::unique_ptr<tvsChannelConfig> Load(const std::string& config,
                                         const std::string& name = "flows") {
    auto channel = std::make_unique<tvsChannelConfig>();
    channel->db_path = dir.path();
    channel->Load(name, json::parse(config));
    return channel;
  }

  // Loads and opens; "Found table" lines are swallowed.
  std::unique_ptr<tvsChannelConfig> Open(const std::string& config,
                                         const std::string& name = "flows") {
    auto channel = Load(config, name);
    testing::internal::CaptureStdout();
    try {
      channel->InitDatabase();
    } catch (...) {
      testing::internal::GetCapturedStdout();
      throw;
    }
    testing::internal::GetCapturedStdout();
    return channel;
  }

  std::string DbFile(const std::string& name = "flows.db") const { return dir.File(name); }
  Rows Q(const std::string& sql, const std::string& file = "flows.db") const {
    return Query(dir.File(file), sql);
  }

  TempDir dir;
  LogCapture log;
  GlobalConfigScope global;
};
