#include "tvPluginSink.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

std::string paramOr(const std::map<std::string, std::string>& params, const char* key) {
  const auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

unsigned parseType(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

tvPluginSinkPayload::tvPluginSinkPayload(const void* bytes, uint64_t length,
                                         std::set<std::string> channels)
    : data_length(length),
      data(length ? new uint8_t[length] : nullptr),
      channel_names(std::move(channels)),
      storage(const_cast<uint8_t*>(data)) {
  if (length) std::memcpy(storage.get(), bytes, length);
}

tvPluginSink::tvPluginSink(const std::string& tag_,
                           const std::map<std::string, std::string>& params)
    : tag(tag_),
      config_path(paramOr(params, "config")),
      plugin_type(parseType(paramOr(params, "type"))) {}

void tvPluginSink::QueuePayload(const std::shared_ptr<tvPluginSinkPayload>& payload) {
  {
    std::lock_guard<std::mutex> guard(queue_lock);
    queue.push_back(payload);
  }
  queue_ready.notify_one();
}

void tvPluginSink::Terminate() {
  tvThread::Terminate();
  {
    // Taken so the worker is either before its check of the flag or inside
    // its wait, never between the two, when the notice comes.
    std::lock_guard<std::mutex> guard(queue_lock);
  }
  queue_ready.notify_all();
}

uint64_t tvPluginSink::WaitOnPayloadQueue(unsigned units) {
  std::unique_lock<std::mutex> guard(queue_lock);
  if (queue.empty()) {
    ++idle_waits;
    worker_idle.notify_all();
  }
  queue_ready.wait_for(guard, std::chrono::milliseconds(100) * units,
                       [this] { return !queue.empty() || terminate_requested || wake_requested; });
  wake_requested = false;
  return queue.size();
}

bool tvPluginSink::PopPayloadQueue(std::shared_ptr<tvPluginSinkPayload>& payload) {
  bool taken = false;
  {
    std::lock_guard<std::mutex> guard(queue_lock);
    if (!queue.empty()) {
      payload = std::move(queue.front());
      queue.pop_front();
      queue_room.notify_all();
      taken = true;
    }
  }
  // Outside the queue's lock: the observer may read the plugin's status.
  if (worker_observer) worker_observer(taken ? WorkerTurn::kTookPayload : WorkerTurn::kQueueEmpty);
  return taken;
}

void tvPluginSink::SetWorkerObserver(WorkerObserver observer) {
  worker_observer = observer;
  if (observer) {
    SetLockHook([observer] { observer(WorkerTurn::kLoading); });
  } else {
    SetLockHook(nullptr);
  }
}

bool tvPluginSink::WaitForQueueBelow(size_t limit, long most_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(most_ms);
  std::unique_lock<std::mutex> guard(queue_lock);
  while (queue.size() >= limit) {
    if (!IsRunning()) return false;
    if (most_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    queue_room.wait_for(guard, std::chrono::milliseconds(50));
  }
  return true;
}

bool tvPluginSink::WaitUntilIdle() {
  std::unique_lock<std::mutex> guard(queue_lock);
  const uint64_t start = idle_waits;
  // A worker already waiting is sent round its loop at once (serving what it
  // serves between waits, a reload among them) instead of at its timeout.
  wake_requested = true;
  queue_ready.notify_all();
  // The worker cannot notify once it has died, so look at it now and then.
  while (idle_waits == start) {
    if (!IsRunning()) return false;
    worker_idle.wait_for(guard, std::chrono::milliseconds(50));
  }
  return true;
}
