// A channel's waiting payloads: held after a transient failure (or handed
// over by a reload), tried again in order, bounded by retry_mb, and given a
// last try at termination.
#include <algorithm>
#include <cinttypes>

#include "channelState.h"
#include "errorLog.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"
#include "writeBatch.h"

using State = tvsPayloadLedger::State;

namespace {

// Held payloads written per round, so that reloads and other channels are
// served between rounds.
constexpr size_t kRetryRound = 64;

}  // namespace

void tvsChannelConfig::TryFailed() {
  state->backoff.TryFailed(tvsRetryBackoff::Clock::now());
  TrimWaiting();
}

void tvsChannelConfig::TrimWaiting() {
  tvsPayloadLedger& ledger = state->ledger;
  const uint64_t bound = state->retry_bytes;
  if (bound == 0 || ledger.WaitingBytes() <= bound) return;
  // A payload larger than the bound by itself fails alone: nothing held
  // before it is dropped on its account.
  for (size_t i = ledger.Size(); i-- > 0;) {
    const tvsPayloadLedger::Entry& newest = ledger.At(i);
    if (!tvsPayloadLedger::Waits(newest)) continue;
    if (newest.text.size() > bound) {
      ++state->dropped;
      tv_printf("%s: a payload of %zu bytes is larger than retry_mb: it is not held (%" PRIu64
                " dropped)\n",
                name.c_str(), newest.text.size(), state->dropped);
      Settle(i,
             tvsOutcome::Failure(SQLITE_TOOBIG, name + ": payload larger than retry_mb: not held"));
    }
    break;
  }
  for (size_t i = 0; i < ledger.Size() && ledger.WaitingBytes() > bound; ++i) {
    if (!tvsPayloadLedger::Waits(ledger.At(i))) continue;
    ++state->dropped;
    tv_printf("%s: held payloads exceed retry_mb: the oldest is dropped (%" PRIu64 " dropped)\n",
              name.c_str(), state->dropped);
    Settle(i, tvsOutcome::Failure(SQLITE_TOOBIG,
                                  name + ": held payloads exceed retry_mb: the oldest is dropped"));
  }
}

void tvsChannelConfig::RetryHeld(bool last_try) {
  TryWaiting(last_try);
  if (!last_try) return;
  // Whatever failed the last try is lost with the process.
  const size_t lost = DropWaiting(name + ": held payload lost at termination");
  if (lost > 0) tv_printf("%s: %zu held payloads lost at termination\n", name.c_str(), lost);
}

void tvsChannelConfig::TryWaiting(bool now) {
  tvsPayloadLedger& ledger = state->ledger;
  if (!ledger.Waiting() && !InDoubt()) return;
  const bool retry = RetryEnabled();
  if (!now && !state->backoff.Due(tvsRetryBackoff::Clock::now())) return;
  // Nothing is written while an earlier COMMIT is in doubt.
  if (InDoubt() && SettleInDoubt(false) == Fate::kUnknown) {
    if (!now) TryFailed();
    return;
  }
  const size_t round =
      std::max<size_t>(kRetryRound, 2 * static_cast<size_t>(settings.commit_batch));
  size_t tried = 0;
  bool failed = false;
  for (size_t i = 0; i < ledger.Size(); ++i) {
    if (!tvsPayloadLedger::Waits(ledger.At(i))) continue;
    if (retry && !now && tried == round) break;
    ++tried;
    const std::string text = ledger.TakeText(ledger.At(i));
    WriteEntry(i, text, nullptr);
    // Held again, or its COMMIT in doubt: what stands behind it waits.
    if (ledger.At(i).state == State::kHeld || InDoubt()) {
      failed = true;
      break;
    }
    // What has settled leaves the ledger, so that the scans of the commits
    // to come stay short; the index follows.
    const size_t before = ledger.Size();
    ledger.TakeSettled(state->settled);
    i -= before - ledger.Size();
  }
  if (!failed) failed = !CommitOpen();
  PurgeIfDue();
  if (!failed) state->backoff.TrySucceeded();
}

size_t tvsChannelConfig::DropWaiting(const std::string& message) {
  tvsPayloadLedger& ledger = state->ledger;
  size_t dropped = 0;
  for (size_t i = 0; i < ledger.Size(); ++i) {
    if (!tvsPayloadLedger::Waits(ledger.At(i)) && ledger.At(i).state != State::kInDoubt) continue;
    ++dropped;
    Settle(i, tvsOutcome::Failure(ledger.At(i).outcome.code, message));
  }
  state->dropped += dropped;
  return dropped;
}

void tvsChannelConfig::LetGoOfInDoubt(const std::string& next_file) {
  // Payloads in doubt can only be asked for in their own file.
  if (next_file == FilePath()) return;
  tvsPayloadLedger& ledger = state->ledger;
  for (size_t i = 0, left = ledger.CountOf(State::kInDoubt); left > 0; ++i) {
    if (ledger.At(i).state != State::kInDoubt) continue;
    --left;
    Settle(i, tvsOutcome::Failure(SQLITE_ERROR, name + ": COMMIT failed, and whether it reached " +
                                                    FilePath() + " is not known"));
  }
}

void tvsChannelConfig::TakeWaitingFrom(tvsChannelConfig& previous) {
  state->ledger.TakeFrom(previous.state->ledger);
  state->backoff.Merge(previous.state->backoff);
}

void tvsChannelConfig::TakeFailed(uint64_t number, tvsOutcome outcome) {
  state->ledger.Append(number);
  Settle(state->ledger.Size() - 1, std::move(outcome));
}
