#include "readAhead.h"

#include <new>

tvsReadAhead::tvsReadAhead() : thread([this] { Run(); }) {}

tvsReadAhead::~tvsReadAhead() {
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return !busy; });
    stop = true;
  }
  changed.notify_all();
  thread.join();
}

void tvsReadAhead::Start(const void* data_, size_t length_, const tvsColumnPlan& plan_) {
  {
    std::unique_lock<std::mutex> guard(lock);
    // A read that nobody finished (the worker left by an exception) ends
    // first: one read at a time.
    changed.wait(guard, [this] { return !busy; });
    job = &slots[next];
    data = data_;
    length = length_;
    plan = &plan_;
    busy = true;
  }
  next = 1 - next;
  changed.notify_all();
}

tvsReadAhead::Read& tvsReadAhead::Finish() {
  std::unique_lock<std::mutex> guard(lock);
  changed.wait(guard, [this] { return !busy; });
  return slots[1 - next].result;
}

void tvsReadAhead::Run() {
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    changed.wait(guard, [this] { return stop || job != nullptr; });
    if (stop) return;
    Slot& slot = *job;
    job = nullptr;
    const void* text = data;
    const size_t bytes = length;
    const tvsColumnPlan& columns = *plan;
    guard.unlock();

    Read& result = slot.result;
    result.copied = result.read = false;
    result.payload.Clear();
    try {
      readableCopyInto(result.text, text, bytes);
      result.copied = true;
      result.read = slot.reader.Read(result.text, columns, result.payload);
    } catch (const std::bad_alloc&) {
      // The worker reads it again and says so, in its turn.
      result.payload.Clear();
    }

    guard.lock();
    busy = false;
    changed.notify_all();
  }
}
