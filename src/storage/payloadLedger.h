// A channel's ledger: the one owner of every payload from the moment the
// channel takes it until its outcome is reported, in arrival order.
//
// States of an entry:
//   kQueued   taken, not yet written: it waits behind a held payload (kept,
//             with its text), or is being written now.
//   kWritten  its rows are in the channel's open transaction, not committed;
//             with retry_mb it keeps its text, to be held should the COMMIT
//             fail for a transient reason.
//   kInDoubt  its COMMIT failed after SQLite may have written it, and the
//             file could not yet be asked whether it is there; asked again
//             before the channel writes anything else (a new row could take
//             the interval id the answer is read by).
//   kHeld     a write or its COMMIT failed for a transient reason; kept with
//             its text until a later try.
//   kSettled  its outcome is final; no text.
//
// Invariants (checked by Check() in debug builds):
//   I1  entries are in arrival order: numbers never decrease.
//   I2  no kWritten or kInDoubt entry stands behind a kHeld or kept kQueued
//       one: a transaction holds only payloads that came before every
//       payload still waiting.
//   I3  no kHeld entry stands behind a kept kQueued one: payloads are tried
//       in the order they came.
//   I4  kWritten meets neither kHeld nor kInDoubt: a hold ends the
//       transaction first, and nothing is written while a COMMIT is in
//       doubt.
//   I5  `waiting` and `bytes` count the kHeld and kept kQueued entries, and
//       `in_state` the entries of each state.
// Outcomes are reported strictly in arrival order: TakeSettled hands over
// only the settled entries in front of the first unsettled one.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "payloadOutcome.h"

class tvsPayloadLedger {
 public:
  enum class State { kQueued, kWritten, kInDoubt, kHeld, kSettled };

  struct Entry {
    uint64_t number = 0;  // the plugin's count of payloads taken, 1 for the first
    std::string text;     // with the room after it the fast reader reads in place
    uint32_t tries = 0;   // failed writes so far
    bool kept = false;    // `text` holds the payload
    State state = State::kQueued;
    // kSettled: the outcome; kWritten: the rows written, stored once the
    // transaction commits; kInDoubt: those rows, and the COMMIT's failure;
    // kHeld: the failure of its last try.
    tvsOutcome outcome;
    // kInDoubt: the first interval row its transaction wrote.
    int64_t first_interval = 0;
  };

  // What the owner is told of a settled payload: its number and outcome.
  using Settled = std::pair<uint64_t, tvsOutcome>;

  // A new entry at the back, kQueued, its text not kept: it is written now,
  // or given its text by Keep to wait.
  Entry& Append(uint64_t number);
  size_t Size() const { return entries.size(); }
  Entry& At(size_t index) { return entries[index]; }

  // Moves `entry` to `state`; a settled one gets `outcome` and drops its text.
  void Move(Entry& entry, State state);
  void Settle(Entry& entry, tvsOutcome outcome);
  // Gives `entry` its text (it waits or may wait).
  void Keep(Entry& entry, std::string text);
  // Takes a waiting entry's text to write it: it is kQueued, being written.
  std::string TakeText(Entry& entry);

  // `entry` waits for a later try: held, or queued (kept) behind one.
  static bool Waits(const Entry& entry) {
    return entry.state == State::kHeld || (entry.state == State::kQueued && entry.kept);
  }
  // Some entry waits for a later try: held, or queued behind a held one.
  bool Waiting() const { return waiting > 0; }
  size_t WaitingCount() const { return waiting; }
  uint64_t WaitingBytes() const { return bytes; }
  // The entries in `state`: a scan for them stops once it has met them all.
  size_t CountOf(State state) const { return in_state[static_cast<size_t>(state)]; }
  bool Any(State state) const { return CountOf(state) > 0; }

  // Moves the settled entries in front of the first unsettled one into
  // `out`, in order.
  void TakeSettled(std::vector<Settled>& out);

  // Moves every unsettled entry of `other` in front of these; a written one
  // (there is none after a commit) is held.
  void TakeFrom(tvsPayloadLedger& other);

  // The number of the oldest unsettled entry; 0 when every one is settled.
  uint64_t OldestUnsettled() const;

  // Asserts the invariants above (debug builds).
  void Check() const;

 private:
  void Count(const Entry& entry, int sign);

  std::deque<Entry> entries;
  size_t in_state[5] = {};  // entries per State
  size_t waiting = 0;       // kHeld and kQueued entries that keep their text
  uint64_t bytes = 0;
};
