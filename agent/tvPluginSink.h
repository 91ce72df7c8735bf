// The agent's base class of sink plugins: a queue of payloads that agent
// threads fill and the plugin's worker drains.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "tvPlugin.h"

// One block of bytes addressed to a set of channels. Immutable once queued.
class tvPluginSinkPayload {
 public:
  tvPluginSinkPayload(const void* bytes, uint64_t length, std::set<std::string> channels);
  tvPluginSinkPayload(const tvPluginSinkPayload&) = delete;
  tvPluginSinkPayload& operator=(const tvPluginSinkPayload&) = delete;

  const uint64_t data_length;
  // Null only when data_length is 0.
  const uint8_t* const data;
  const std::set<std::string> channel_names;

 private:
  std::unique_ptr<uint8_t[]> storage;
};

class tvPluginSink : public tvPlugin {
 public:
  // Parameter "config" is the configuration path, "type" the plugin type
  // (unsigned decimal; 0 when absent or not a number).
  tvPluginSink(const std::string& tag, const std::map<std::string, std::string>& params);

  // Appends a payload and wakes the worker. Any thread.
  virtual void QueuePayload(const std::shared_ptr<tvPluginSinkPayload>& payload);

  // Asks Entry to return and wakes a worker waiting on the queue, so a run
  // ends as soon as the last payload is written. Any thread.
  void Terminate() override;

  // Waits up to `units` tenths of a second for payloads; returns at once when
  // some are queued, or when Terminate or WaitUntilIdle is called. Result: the number queued at the
  // end of the wait.
  uint64_t WaitOnPayloadQueue(unsigned units);
  // Moves the oldest payload into `payload`; false when the queue is empty.
  bool PopPayloadQueue(std::shared_ptr<tvPluginSinkPayload>& payload);

  // Host side: returns true once the worker has come back to its wait with
  // the queue empty after this call began, so every payload queued before the
  // call has been handled; false when the thread is not running (any more).
  bool WaitUntilIdle();
  // Host side: returns true once fewer than `limit` payloads are queued;
  // false when the thread is not running (any more), or, with `most_ms`
  // given, once that many milliseconds have passed first.
  bool WaitForQueueBelow(size_t limit, long most_ms = -1);

  // Where the worker stands when the host's observer runs.
  enum class WorkerTurn {
    kTookPayload,  // it has just taken the next payload from the queue
    kQueueEmpty,   // it found the queue empty
    kLoading,      // it is taking the thread's lock: a configuration (re)load begins
  };
  // Host side, set before Create: `observer` runs on the worker's thread at
  // each of those turns. The worker is then between payloads of its own, so
  // the observer may read the plugin's status; it must not queue or wait.
  using WorkerObserver = std::function<void(WorkerTurn turn)>;
  void SetWorkerObserver(WorkerObserver observer);

  const std::string tag;
  const std::string config_path;
  const unsigned plugin_type;

 private:
  std::mutex queue_lock;
  std::condition_variable queue_ready;
  std::condition_variable worker_idle;
  std::condition_variable queue_room;
  std::deque<std::shared_ptr<tvPluginSinkPayload>> queue;
  uint64_t idle_waits = 0;
  bool wake_requested = false;  // WaitUntilIdle's: end the worker's wait now
  WorkerObserver worker_observer;
};
