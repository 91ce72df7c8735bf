#include "heldPayloads.h"

#include <algorithm>

#include <sqlite3.h>

std::chrono::milliseconds tvsFirstRetryWait(100);

bool isTransientFailure(int code) {
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
      return true;
    default:
      return false;
  }
}

void tvsHeldPayloads::Configure(uint64_t max_bytes_, std::chrono::milliseconds longest_wait_) {
  max_bytes = max_bytes_;
  longest_wait = std::max(longest_wait_, tvsFirstRetryWait);
}

void tvsHeldPayloads::HoldBack(tvsHeldPayload payload) {
  bytes += payload.text.size();
  held.push_back(std::move(payload));
}

void tvsHeldPayloads::HoldFront(tvsHeldPayload payload) {
  bytes += payload.text.size();
  held.push_front(std::move(payload));
}

tvsHeldPayload tvsHeldPayloads::TakeFront() {
  tvsHeldPayload oldest = std::move(held.front());
  held.pop_front();
  bytes -= oldest.text.size();
  return oldest;
}

bool tvsHeldPayloads::TakeOverflow(tvsHeldPayload& oldest) {
  if (bytes <= max_bytes || held.empty()) return false;
  oldest = TakeFront();
  return true;
}

void tvsHeldPayloads::TryFailed(Clock::time_point now) {
  backoff = backoff.count() == 0 ? tvsFirstRetryWait : std::min(backoff * 2, longest_wait);
  next_try = now + backoff;
}

void tvsHeldPayloads::TakeFrom(tvsHeldPayloads& other) {
  while (!other.held.empty()) {
    tvsHeldPayload payload = std::move(other.held.back());
    other.held.pop_back();
    other.bytes -= payload.text.size();
    HoldFront(std::move(payload));
  }
  next_try = std::max(next_try, other.next_try);
  backoff = std::max(backoff, other.backoff);
}
