// The stand-in agent: variable expansion, the payload queue and the thread
// routine.
#include <chrono>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testSupport.h"
#include "tvException.h"
#include "tvLog.h"
#include "tvPluginSink.h"

using ::testing::ElementsAre;

TEST(AgentExpandVariables, ReplacesKnownAndKeepsUnknown) {
  const std::map<std::string, std::string> variables = {{"DATA", "/var/lib/sink"}, {"X", ""}};
  struct Case {
    std::string input, expected;
    int replaced;
  };
  for (const Case& c : std::vector<Case>{{"${DATA}/db", "/var/lib/sink/db", 1},
                                         {"${NOPE}/db", "${NOPE}/db", 0},
                                         {"a${X}b${DATA}", "ab/var/lib/sink", 2},
                                         {"${DATA", "${DATA", 0},
                                         {"$DATA", "$DATA", 0},
                                         {"", "", 0}}) {
    SCOPED_TRACE(c.input);
    std::string output = "stale";
    EXPECT_EQ(c.replaced, tv_expand_variables(c.input, output, variables));
    EXPECT_EQ(c.expected, output);
  }
}

TEST(AgentException, FormatsLikePrintf) {
  EXPECT_STREQ("flows: cannot open DB: /x/y.db: 42",
               tvException("%s: cannot open DB: %s: %d", "flows", "/x/y.db", 42).what());
}

namespace {

// A sink whose worker collects payload texts until terminated.
class CollectingSink : public tvPluginSink {
 public:
  CollectingSink() : tvPluginSink("collect", {{"config", "/c.json"}, {"type", "2"}}) {}
  ~CollectingSink() override { Join(); }
  void* Entry() override {
    std::shared_ptr<tvPluginSinkPayload> payload;
    while (!terminate_requested) {
      if (fail_with) throw std::runtime_error(fail_with);
      if (WaitOnPayloadQueue(wait_units) == 0) continue;
      while (PopPayloadQueue(payload)) {
        std::lock_guard<std::mutex> guard(lock);
        texts.emplace_back(reinterpret_cast<const char*>(payload->data), payload->data_length);
      }
    }
    return nullptr;
  }
  void GetLibrary(std::string&) override {}
  void GetName(std::string&) override {}
  void GetVersion(std::string&) override {}
  void GetStatus(json&) override {}
  void DisplayStatus(const json&) override {}
  void DispatchEvent(Event, void*) override {}

  std::mutex lock;
  std::vector<std::string> texts;
  const char* fail_with = nullptr;
  unsigned wait_units = 1;
};

}  // namespace

TEST(AgentSink, ParametersReachTheBase) {
  CollectingSink sink;
  EXPECT_EQ("collect", sink.tag);
  EXPECT_EQ("/c.json", sink.config_path);
  EXPECT_EQ(2u, sink.plugin_type);
}

TEST(AgentSink, WorkerDrainsQueueInOrderAndIdleWaitSeesIt) {
  CollectingSink sink;
  ASSERT_EQ(0, sink.Create());
  for (const char* text : {"one", "two", "three"}) {
    sink.QueuePayload(
        std::make_shared<tvPluginSinkPayload>(text, strlen(text), std::set<std::string>{"a"}));
  }
  EXPECT_TRUE(sink.WaitUntilIdle());
  {
    std::lock_guard<std::mutex> guard(sink.lock);
    EXPECT_THAT(sink.texts, ElementsAre("one", "two", "three"));
  }
  sink.Terminate();
  sink.Join();
  EXPECT_FALSE(sink.IsRunning());
  EXPECT_FALSE(sink.EndedWithError());
}

TEST(AgentSink, WaitReturnsAsSoonAsAPayloadIsQueued) {
  CollectingSink sink;
  std::thread producer([&sink] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sink.QueuePayload(std::make_shared<tvPluginSinkPayload>("x", 1, std::set<std::string>{}));
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1u, sink.WaitOnPayloadQueue(100));  // ten seconds at most
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  producer.join();
  std::shared_ptr<tvPluginSinkPayload> payload;
  EXPECT_TRUE(sink.PopPayloadQueue(payload));
  EXPECT_FALSE(sink.PopPayloadQueue(payload));
  EXPECT_EQ(0u, sink.WaitOnPayloadQueue(0));
}

TEST(AgentSink, IdleWaitsAndTerminateWakeAWaitingWorker) {
  CollectingSink sink;
  sink.wait_units = 600;  // a minute per wait: no timeout ends these waits
  ASSERT_EQ(0, sink.Create());
  ASSERT_TRUE(sink.WaitUntilIdle());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(sink.WaitUntilIdle());  // the worker sat in its wait meanwhile
  sink.Terminate();
  sink.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(sink.IsRunning());
}

TEST(AgentSink, EmptyPayloadHasNullData) {
  tvPluginSinkPayload payload(nullptr, 0, {"a"});
  EXPECT_EQ(nullptr, payload.data);
  EXPECT_EQ(0u, payload.data_length);
}

TEST(AgentThread, ExceptionLeavingEntryIsCaughtAndReported) {
  CollectingSink sink;
  sink.fail_with = "flows: cannot open DB";
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, sink.Create());
  sink.Join();
  EXPECT_EQ("error: flows: cannot open DB\n", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(sink.EndedWithError());
  EXPECT_EQ("flows: cannot open DB", sink.EntryError());
  EXPECT_FALSE(sink.WaitUntilIdle());
}

TEST(AgentLog, CaptureSeesExactLinesAndLevels) {
  LogCapture log;
  tv_printf("%s: %s v%s\n", "sink", "Name", "1.0");
  tv_dprintf("%s: channel not found: %s\n", "sink", "a");
  EXPECT_THAT(log.Lines(), ElementsAre("sink: Name v1.0\n", "sink: channel not found: a\n"));
  EXPECT_THAT(log.OperatorLines(), ElementsAre("sink: Name v1.0\n"));
}

TEST(AgentFileExists, ReportsOneForExistingPaths) {
  TempDir dir;
  EXPECT_EQ(1, tv_file_exists(dir.path()));
  EXPECT_EQ(0, tv_file_exists(dir.File("missing")));
}
