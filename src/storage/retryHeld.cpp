// A channel's held payloads: holding them after a transient failure, trying
// them again in order, dropping the oldest beyond the bound, and the last try
// at termination.
#include <algorithm>
#include <cinttypes>

#include "channelState.h"
#include "errorLog.h"
#include "fastReader.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"
#include "writeBatch.h"

namespace {

// Held payloads written per round, so that reloads and other channels are
// served between rounds.
constexpr size_t kRetryRound = 64;

}  // namespace

void tvsChannelConfig::HoldFailed(const std::string& payload_text, uint32_t tries, bool batch_lost,
                                  std::vector<int>& settled) {
  tvsHeldPayloads& held = state->held;
  try {
    held.HoldFront({readableCopy(payload_text.data(), payload_text.size()), tries + 1});
  } catch (const std::bad_alloc&) {
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    SettleKnown(-1, settled);
  }
  // What was staged before this payload goes first: in front of it when
  // SQLite rolled it back, else committed now (or held in front of it when
  // that fails too).
  if (batch_lost) {
    HoldStaged();
  } else {
    CommitStaged(settled);
  }
  held.TryFailed(tvsHeldPayloads::Clock::now());
  tv_dprintf("%s: payload held for another try (%zu held, %" PRIu64 " bytes)\n", name.c_str(),
             held.Count(), held.Bytes());
  TrimHeld(settled);
}

void tvsChannelConfig::HoldStaged() {
  std::vector<tvsHeldPayload>& staged = state->staged;
  for (auto it = staged.rbegin(); it != staged.rend(); ++it) {
    // Its batch failed, so its write did: stored later, it counts as retried.
    if (!it->known) ++it->tries;
    state->held.HoldFront(std::move(*it));
  }
  staged.clear();
  state->in_batch.clear();
}

void tvsChannelConfig::SettleKnown(int result, std::vector<int>& settled) {
  if (state->batch && state->batch->Open()) {
    // Behind the payloads staged before it.
    state->in_batch.push_back(result);
    if (state->held.Enabled()) state->staged.push_back(tvsHeldPayload::Known(result));
    return;
  }
  settled.push_back(result);
}

void tvsChannelConfig::TrimHeld(std::vector<int>& settled) {
  tvsHeldPayload oldest;
  while (state->held.TakeOverflow(oldest)) {
    if (oldest.known) {
      SettleKnown(oldest.result, settled);
      continue;
    }
    ++state->dropped;
    tv_printf("%s: held payloads exceed retry_mb: the oldest is dropped (%" PRIu64 " dropped)\n",
              name.c_str(), state->dropped);
    SettleKnown(-1, settled);
  }
}

void tvsChannelConfig::StoredAfterHold(uint32_t tries) {
  ++state->retried;
  tv_dprintf("%s: held payload stored at try %u\n", name.c_str(), tries + 1);
}

void tvsChannelConfig::RetryHeld(std::vector<int>& settled, bool last_try) {
  tvsHeldPayloads& held = state->held;
  if (held.Empty() || (!last_try && !held.Due(tvsHeldPayloads::Clock::now()))) return;
  const size_t round =
      std::max<size_t>(kRetryRound, 2 * static_cast<size_t>(settings.commit_batch));
  bool failed = false;
  for (size_t n = 0; !held.Empty() && (last_try || n < round); ++n) {
    tvsHeldPayload payload = held.TakeFront();
    if (payload.known) {
      SettleKnown(payload.result, settled);
      continue;
    }
    // A failure holds the payload again, or the batch its write committed.
    const auto next_try = held.NextTry();
    if (!Write(payload.text, payload.tries, settled) || held.NextTry() != next_try) {
      failed = true;
      break;
    }
  }
  if (!failed) {
    const tvsErrorCapture capture(state->last_error);
    failed = !CommitStaged(settled);
    if (failed) held.TryFailed(tvsHeldPayloads::Clock::now());
  }
  if (!failed) held.TrySucceeded();
  if (!last_try) return;

  // Whatever failed the last try is lost with the process.
  uint64_t lost = 0;
  while (!held.Empty()) {
    const tvsHeldPayload payload = held.TakeFront();
    settled.push_back(payload.known ? payload.result : -1);
    if (!payload.known) ++lost;
  }
  if (lost > 0) {
    state->dropped += lost;
    tv_printf("%s: %" PRIu64 " held payloads lost at termination\n", name.c_str(), lost);
  }
}
