// The payloads a channel holds after a transient failure (a busy or locked
// database, a full disk, an I/O error, a file that cannot be opened, memory
// running out), to be written again, oldest first, once a back-off has
// passed. Held in memory only, up to a bound of text; the channel's newer
// payloads queue behind them, so the channel keeps its arrival order.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

// The wait after a first failure, 100 ms; tests that fail hundreds of runs
// shorten it.
extern std::chrono::milliseconds tvsFirstRetryWait;

// SQLite's result codes of the failures worth another try.
bool isTransientFailure(int code);

struct tvsHeldPayload {
  std::string text;    // with the room after it the fast reader reads in place
  uint32_t tries = 0;  // failed writes so far
  // A payload whose outcome is known already (it failed for good, or held
  // nothing) and waits only to be reported in its turn; it has no text.
  bool known = false;
  int result = 0;

  static tvsHeldPayload Known(int result) {
    tvsHeldPayload payload;
    payload.known = true;
    payload.result = result;
    return payload;
  }
};

class tvsHeldPayloads {
 public:
  using Clock = std::chrono::steady_clock;

  // Holding is on with a bound above 0 bytes.
  void Configure(uint64_t max_bytes, std::chrono::milliseconds longest_wait);
  bool Enabled() const { return max_bytes > 0; }
  bool Empty() const { return held.empty(); }
  size_t Count() const { return held.size(); }
  uint64_t Bytes() const { return bytes; }

  // The newest payload, behind every held one.
  void HoldBack(tvsHeldPayload payload);
  // A payload to be tried again before every held one.
  void HoldFront(tvsHeldPayload payload);
  // The oldest, taken out.
  tvsHeldPayload TakeFront();
  // Takes the oldest out while the payloads hold more than the bound; false
  // when within it.
  bool TakeOverflow(tvsHeldPayload& oldest);

  // A try failed: the next waits twice as long as the last, from 100 ms up
  // to the longest wait.
  void TryFailed(Clock::time_point now);
  // A try succeeded: the next failure waits 100 ms again.
  void TrySucceeded() { backoff = std::chrono::milliseconds(0); }
  bool Due(Clock::time_point now) const { return !held.empty() && now >= next_try; }
  Clock::time_point NextTry() const { return next_try; }

  // Moves every payload of `other` in front of these.
  void TakeFrom(tvsHeldPayloads& other);

 private:
  std::deque<tvsHeldPayload> held;
  uint64_t bytes = 0;
  uint64_t max_bytes = 0;
  std::chrono::milliseconds longest_wait{30000};
  std::chrono::milliseconds backoff{0};
  Clock::time_point next_try;
};
