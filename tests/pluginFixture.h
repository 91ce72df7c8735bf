// A fixture that runs the plugin on one aggregator channel, "flows", in a
// temp directory, with the fault VFS at hand: for tests that drive payloads
// through the worker and read the file and the status.
#pragma once

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "faultVfs.h"
#include "retryBackoff.h"
#include "testSupport.h"
#include "tvsPlugin.h"

class PluginChannelTest : public ::testing::Test {
 protected:
  // `tables`: the channel's table schemas, as JSON text.
  explicit PluginChannelTest(std::string tables_) : tables(std::move(tables_)) {}

  void SetUp() override { tvsFaultVfs::SkipDiskSync(true); }
  void TearDown() override {
    tvsFaultVfs::Disarm();
    tvsFaultVfs::SkipDiskSync(false);
    tvsFirstRetryWait = std::chrono::milliseconds(100);
    Stop();
    std::cout.rdbuf(saved_cout);
  }

  // Ends the plugin, if running.
  void Stop() {
    if (plugin) {
      plugin->Terminate();
      plugin.reset();
    }
  }

  // The configuration: channel "flows" with `members` put first.
  void WriteConfig(const std::string& members) {
    dir.Write("sink.json", R"({"db_path": ")" + dir.path() +
                               R"(", "channels": {"flows": {"db_name": "flows.db", )" + members +
                               R"("data_source": "aggregator", "tables": )" + tables + "}}}");
  }

  // Starts the plugin on channel "flows" with `members` and waits for its load.
  void Start(const std::string& members) {
    WriteConfig(members);
    plugin = std::make_unique<tvsPlugin>(
        "sink",
        std::map<std::string, std::string>{{"config", dir.File("sink.json")}, {"type", "1"}});
    ASSERT_EQ(0, plugin->Create());
    ASSERT_TRUE(plugin->WaitUntilIdle());
    log.Clear();  // the load's lines
  }

  void QueueText(const std::string& text) {
    plugin->QueuePayload(std::make_shared<tvPluginSinkPayload>(text.data(), text.size(),
                                                               std::set<std::string>{"flows"}));
  }

  nlohmann::json Flows() {
    nlohmann::json status = nlohmann::json::object();
    plugin->GetStatus(status);
    return status["channels"]["flows"];
  }

  // Sends the worker round its loop, where it tries what is due, until
  // `done` holds of the channel's status.
  bool Until(const std::function<bool(const nlohmann::json&)>& done) {
    for (int round = 0; round < 1000; ++round) {
      if (done(Flows())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      plugin->WaitUntilIdle();
    }
    return false;
  }

  const std::string tables;
  TempDir dir;
  LogCapture log;
  GlobalConfigScope global;
  std::unique_ptr<tvsPlugin> plugin;
  // The "Found table" lines of each load go nowhere; gtest's own output does
  // not pass through std::cout.
  std::ostringstream found_lines;
  std::streambuf* saved_cout = std::cout.rdbuf(found_lines.rdbuf());
};
