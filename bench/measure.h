// Wall time, CPU time, peak memory and per-process counters of one measured
// stretch.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <sys/resource.h>

struct Measurement {
  double seconds = 0;
  double cpu_seconds = 0;       // user + system, all threads of the process (getrusage)
  double peak_mib = 0;          // resident high-water mark during the stretch, above its start
  double page_faults = 0;       // minor + major, all threads of the process (getrusage)
  double context_switches = 0;  // voluntary + involuntary, all threads of the process (getrusage)
  // User-space instructions retired by the threads an InstructionCounter
  // covers; absent when the machine gives no hardware counter.
  std::optional<double> instructions;
  size_t failed = 0;  // payloads the plugin could not store
};

// Instructions retired in user space, counted through perf_event_open by the
// thread that opens the counter and by every thread started after it (the
// counter is inherited): open it before the plugin starts its worker thread.
// Closed when the kernel refuses it (no hardware counters in a virtual
// machine, perf_event_paranoid, a seccomp filter); readings are then absent.
class InstructionCounter {
 public:
  InstructionCounter();
  ~InstructionCounter();
  InstructionCounter(const InstructionCounter&) = delete;
  InstructionCounter& operator=(const InstructionCounter&) = delete;

  bool Open() const { return fd >= 0; }
  // Counts from here (this thread and the threads it started since opening).
  void Enable();
  // Stops counting; the count since Enable, scaled up as perf does when the
  // counter shared the hardware with others, or nothing when it is closed or
  // never ran.
  std::optional<double> Disable();

 private:
  bool Read(uint64_t (&values)[3]) const;

  int fd = -1;
  uint64_t start[3] = {};
};

class Stopwatch {
 public:
  // Resets the process's peak-memory mark, then starts the clocks and, when
  // given an open counter, the instruction count.
  explicit Stopwatch(InstructionCounter* instruction_counter = nullptr);
  Measurement Stop() const;

 private:
  std::chrono::steady_clock::time_point wall_start;
  InstructionCounter* counter;
  rusage usage_start{};
  double rss_start;
};

double cpuSeconds();
