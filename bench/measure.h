// Wall time, CPU time and peak memory of one measured stretch.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <sys/resource.h>

struct Measurement {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system, all threads of the process
  double peak_mib = 0;     // resident high-water mark during the stretch, above its start
  size_t failed = 0;       // payloads the plugin could not store
};

class Stopwatch {
 public:
  // Resets the process's peak-memory mark, then starts the clocks.
  Stopwatch();
  Measurement Stop() const;

 private:
  std::chrono::steady_clock::time_point wall_start;
  double cpu_start;
  double rss_start;
};

double cpuSeconds();
