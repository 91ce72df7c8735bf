#include "payloadLedger.h"

#include <cassert>
#include <utility>

void tvsPayloadLedger::Count(const Entry& entry, int sign) {
  size_t& of_state = in_state[static_cast<size_t>(entry.state)];
  of_state = sign > 0 ? of_state + 1 : of_state - 1;
  if (!Waits(entry)) return;
  if (sign > 0) {
    ++waiting;
    bytes += entry.text.size();
  } else {
    --waiting;
    bytes -= entry.text.size();
  }
}

tvsPayloadLedger::Entry& tvsPayloadLedger::Append(uint64_t number) {
  Entry& entry = entries.emplace_back();
  entry.number = number;
  Count(entry, +1);
  return entry;
}

void tvsPayloadLedger::Move(Entry& entry, State state) {
  Count(entry, -1);
  entry.state = state;
  if (state == State::kSettled) {
    std::string().swap(entry.text);
    entry.kept = false;
  }
  Count(entry, +1);
}

void tvsPayloadLedger::Settle(Entry& entry, tvsOutcome outcome) {
  entry.outcome = std::move(outcome);
  Move(entry, State::kSettled);
}

void tvsPayloadLedger::Keep(Entry& entry, std::string text) {
  Count(entry, -1);
  entry.text = std::move(text);
  entry.kept = true;
  Count(entry, +1);
}

std::string tvsPayloadLedger::TakeText(Entry& entry) {
  Count(entry, -1);
  std::string text = std::move(entry.text);
  entry.text.clear();
  entry.kept = false;
  entry.state = State::kQueued;
  Count(entry, +1);
  return text;
}

void tvsPayloadLedger::TakeSettled(std::vector<Settled>& out) {
  while (!entries.empty() && entries.front().state == State::kSettled) {
    out.push_back({entries.front().number, std::move(entries.front().outcome)});
    Count(entries.front(), -1);
    entries.pop_front();
  }
}

uint64_t tvsPayloadLedger::OldestUnsettled() const {
  for (const Entry& entry : entries) {
    if (entry.state != State::kSettled) return entry.number;
  }
  return 0;
}

void tvsPayloadLedger::TakeFrom(tvsPayloadLedger& other) {
  other.Check();
  while (!other.entries.empty()) {
    other.Count(other.entries.back(), -1);
    Entry entry = std::move(other.entries.back());
    other.entries.pop_back();
    // Nothing is written at a hand-over: the owner commits first. Should a
    // payload be, it is held when it kept its text, else it failed.
    if (entry.state == State::kWritten) {
      if (!entry.kept) {
        entry.state = State::kSettled;
        entry.outcome = tvsOutcome::Failure(
            SQLITE_ABORT, "payload not stored: its transaction ended at a reload");
      } else {
        entry.state = State::kHeld;
      }
    }
    entries.push_front(std::move(entry));
    Count(entries.front(), +1);
  }
  Check();
}

void tvsPayloadLedger::Check() const {
#ifndef NDEBUG
  uint64_t last = 0;
  bool behind_waiting = false, behind_queued = false, written = false, held = false,
       in_doubt = false;
  size_t counted = 0;
  uint64_t counted_bytes = 0;
  size_t of_state[5] = {};
  for (const Entry& entry : entries) {
    ++of_state[static_cast<size_t>(entry.state)];
    assert(entry.number >= last);  // I1
    last = entry.number;
    if (entry.state == State::kWritten || entry.state == State::kInDoubt) {
      assert(!behind_waiting);  // I2
      (entry.state == State::kWritten ? written : in_doubt) = true;
    }
    if (entry.state == State::kHeld) {
      assert(!behind_queued);  // I3
      held = true;
    }
    if (entry.state == State::kQueued && entry.kept) behind_queued = true;
    if (Waits(entry)) {
      behind_waiting = true;
      ++counted;
      counted_bytes += entry.text.size();
    }
    if (entry.state == State::kSettled) assert(!entry.kept);
  }
  assert(!(written && (held || in_doubt)));              // I4
  assert(counted == waiting && counted_bytes == bytes);  // I5
  for (size_t state = 0; state < 5; ++state) assert(of_state[state] == in_state[state]);
#endif
}
