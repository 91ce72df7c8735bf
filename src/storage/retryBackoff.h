// The wait between tries of a channel's held payloads: 100 ms after a first
// failure, twice as long after each further one, up to retry_max_s; back to
// the start once a try succeeds.
#pragma once

#include <chrono>

// The wait after a first failure, 100 ms; tests that fail hundreds of runs
// shorten it.
extern std::chrono::milliseconds tvsFirstRetryWait;

class tvsRetryBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  void Configure(std::chrono::milliseconds longest_wait);
  // A try failed: the next waits twice as long as the last.
  void TryFailed(Clock::time_point now);
  // A try succeeded: the next failure waits the first wait again.
  void TrySucceeded() { backoff = std::chrono::milliseconds(0); }
  bool Due(Clock::time_point now) const { return now >= next_try; }
  // Keeps the later deadline and the longer wait of the two.
  void Merge(const tvsRetryBackoff& other);

 private:
  std::chrono::milliseconds longest_wait{30000};
  std::chrono::milliseconds backoff{0};
  Clock::time_point next_try;
};
