// A fixture that owns a temp directory, a log capture and channels loaded
// from JSON and opened there.
#pragma once

#include <memory>

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
