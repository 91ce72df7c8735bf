// A second thread that reads a channel's next payload while the worker
// writes the one before: the channel's own copy of the text is made and read
// by the fast reader, with the channel's column plan, which stays as it is
// between reloads. Nothing is logged here: a text the fast reader gives up on
// is read again by the worker, in its turn, as any other.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "storage/aggregatePayload.h"
#include "storage/columnPlan.h"
#include "storage/fastReader.h"

class tvsReadAhead {
 public:
  // What a read left: the channel's copy of the text and, when the fast
  // reader took it, what it read (pointing into the copy and the reader).
  struct Read {
    std::string text;
    tvsAggregatePayload payload;
    bool copied = false;  // false when no memory was left for the copy
    bool read = false;
  };

  tvsReadAhead();
  // Waits for a read in progress, then ends the thread.
  ~tvsReadAhead();
  tvsReadAhead(const tvsReadAhead&) = delete;
  tvsReadAhead& operator=(const tvsReadAhead&) = delete;

  // Starts reading `length` bytes at `data`, which must stay until Finish,
  // with `plan`. One read at a time.
  void Start(const void* data, size_t length, const tvsColumnPlan& plan);
  // Waits for the read Start began. The result holds until the second Start
  // after this call: the worker writes it while the next one is read.
  Read& Finish();

 private:
  struct Slot {
    tvsFastReader reader;
    Read result;
  };

  void Run();

  Slot slots[2];
  size_t next = 0;  // the slot of the next Start
  std::mutex lock;
  std::condition_variable changed;
  // The read asked for; null when none waits.
  Slot* job = nullptr;
  const void* data = nullptr;
  size_t length = 0;
  const tvsColumnPlan* plan = nullptr;
  bool busy = false;  // a read was started and is not finished
  bool stop = false;
  std::thread thread;  // last: it starts once the members above exist
};
