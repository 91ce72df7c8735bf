#include "retryBackoff.h"

#include <algorithm>

#include <sqlite3.h>

#include "payloadOutcome.h"

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

void tvsRetryBackoff::Configure(std::chrono::milliseconds longest_wait_) {
  longest_wait = std::max(longest_wait_, tvsFirstRetryWait);
}

void tvsRetryBackoff::TryFailed(Clock::time_point now) {
  backoff = backoff.count() == 0 ? tvsFirstRetryWait : std::min(backoff * 2, longest_wait);
  next_try = now + backoff;
}

void tvsRetryBackoff::Merge(const tvsRetryBackoff& other) {
  next_try = std::max(next_try, other.next_try);
  backoff = std::min(std::max(backoff, other.backoff), longest_wait);
}
