// The door through which every payload reaches a channel.
#include <memory>
#include <new>

#include "aggregateWriter.h"
#include "channelState.h"
#include "clock.h"
#include "errorLog.h"
#include "fastReader.h"
#include "jsonParse.h"
#include "payloadReader.h"
#include "purge.h"
#include "sizeCap.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"
#include "writeBatch.h"

using json = nlohmann::json;

std::time_t (*tvsClock)(std::time_t*) = std::time;

namespace {

constexpr int64_t kSecondsPerDay = 86400;

void logSaved(int rows, const std::string& channel) {
  tv_dprintf("%s: saved %d rows from payload on channel %s\n", "sink-sqlite", rows,
             channel.c_str());
}

}  // namespace

int tvsChannelConfig::InsertPayload(const std::string& payload_text) {
  std::vector<int> settled;
  WritePayload(payload_text, settled);
  CommitBatch(settled);
  return settled.empty() ? 0 : settled.back();
}

void tvsChannelConfig::WritePayload(const std::string& payload_text, std::vector<int>& settled,
                                    const tvsAggregatePayload* read) {
  tvsHeldPayloads& held = state->held;
  if (held.Empty()) {
    Write(payload_text, 0, settled, read);
    return;
  }
  // Behind the held ones, so the channel keeps the order payloads came in.
  try {
    held.HoldBack({readableCopy(payload_text.data(), payload_text.size())});
  } catch (const std::bad_alloc&) {
    const tvsErrorCapture capture(state->last_error);
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    SettleKnown(-1, settled);
    return;
  }
  TrimHeld(settled);
}

bool tvsChannelConfig::Write(const std::string& payload_text, uint32_t tries,
                             std::vector<int>& settled, const tvsAggregatePayload* read) {
  const tvsErrorCapture capture(state->last_error);
  state->failure = SQLITE_OK;
  // The file is checked between transactions only: the connection must stay
  // open while one is.
  const bool staging = state->batch && state->batch->Open();
  bool purge_check = false;
  int result = -1;
  if (!staging && !EnsureConfiguredFile()) {
    state->failure = SQLITE_CANTOPEN;
  } else {
    result = StorePayload(payload_text, purge_check, read);
  }
  // A reopen has set up a new batch.
  tvsWriteBatch* const batch = state->batch.get();
  const int sqlite_failure = batch ? batch->TakeFailure() : SQLITE_OK;
  const int failure = sqlite_failure != SQLITE_OK ? sqlite_failure : state->failure;
  const bool batch_lost = batch && batch->TakeLost() > 0;
  if (result < 0 && state->held.Enabled() && isTransientFailure(failure)) {
    HoldFailed(payload_text, tries, batch_lost, settled);
    return false;
  }
  // Staged payloads that SQLite rolled back with the transaction failed.
  std::vector<int>& in_batch = state->in_batch;
  if (batch_lost) {
    for (int& rows : in_batch) rows = rows > 0 ? -1 : rows;
  }
  if (batch && batch->Open()) {
    // Results are settled in the order the payloads came, once their batch
    // commits; the purge takes a connection of its own, so it waits too.
    state->purge_due = state->purge_due || purge_check;
    in_batch.push_back(result);
    if (state->held.Enabled()) {
      state->staged.push_back(
          result > 0 ? tvsHeldPayload{readableCopy(payload_text.data(), payload_text.size()), tries}
                     : tvsHeldPayload::Known(result));
    }
    if (batch->Full()) CommitBatch(settled);
    return true;
  }
  settled.insert(settled.end(), in_batch.begin(), in_batch.end());
  in_batch.clear();
  state->staged.clear();
  settled.push_back(result);
  if (result > 0) {
    Committed(settled, settled.size() - 1);
    if (tries > 0) StoredAfterHold(tries);
  }
  if (purge_check || state->purge_due) {
    state->purge_due = false;
    PurgeWhenDue();
  }
  return true;
}

void tvsChannelConfig::CommitBatch(std::vector<int>& settled) {
  const tvsErrorCapture capture(state->last_error);
  if (!CommitStaged(settled)) {
    state->held.TryFailed(tvsHeldPayloads::Clock::now());
    TrimHeld(settled);
  }
  if (state->purge_due) {
    state->purge_due = false;
    PurgeWhenDue();
  }
}

bool tvsChannelConfig::CommitStaged(std::vector<int>& settled) {
  tvsWriteBatch* const batch = state->batch.get();
  if (!batch || !batch->Open()) return true;
  const size_t from = settled.size();
  batch->TakeFailure();
  const bool committed = batch->Commit();
  if (!committed && state->held.Enabled() && isTransientFailure(batch->TakeFailure())) {
    batch->TakeLost();
    HoldStaged();
    return false;
  }
  for (const int rows : state->in_batch) settled.push_back(committed || rows <= 0 ? rows : -1);
  state->in_batch.clear();
  if (committed) {
    Committed(settled, from);
    for (const tvsHeldPayload& payload : state->staged) {
      if (!payload.known && payload.tries > 0) StoredAfterHold(payload.tries);
    }
  }
  state->staged.clear();
  return true;
}

bool tvsChannelConfig::Pending() const { return state->Pending(); }

void tvsChannelConfig::Committed(const std::vector<int>& settled, size_t from) {
  bool stored = false;
  for (size_t i = from; i < settled.size(); ++i) {
    if (settled[i] <= 0) continue;
    logSaved(settled[i], name);
    stored = true;
  }
  if (stored) enforceSizeCap(*this, state->batch ? state->batch->FirstInterval() : 0);
}

int tvsChannelConfig::StorePayload(const std::string& payload_text, bool& purge_check,
                                   const tvsAggregatePayload* read_ahead) {
  purge_check = false;
  const bool aggregator = IsAggregator();
  // An aggregator payload is read straight into what the writer needs: by
  // the fast reader when it can, else by the JSON library's. The text of any
  // other channel is only checked, never built.
  tvsAggregateWriter& writer = *state->writer;
  tvsFastReader* const fast_reader = state->fast_reader.get();
  tvsAggregatePayload own;
  const tvsAggregatePayload& read = read_ahead && aggregator ? *read_ahead : own;
  try {
    if (!aggregator) {
      checkJsonSyntax(payload_text);
    } else if (read_ahead) {
      // Read already, by the same fast reader.
    } else if (!fast_reader || !fast_reader->Read(payload_text, writer.Plan(), own)) {
      readAggregatePayload(payload_text, writer.Plan(), own);
    }
  } catch (const json::exception& e) {
    logChannelError("%s: JSON parse error: %s\n", name.c_str(), e.what());
    return -1;
  } catch (const tvsNestingError& e) {
    logChannelError("%s: JSON parse error: %s\n", name.c_str(), e.what());
    return -1;
  } catch (const std::bad_alloc&) {
    // One payload too large for the memory left costs that payload only.
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    state->failure = SQLITE_NOMEM;
    return -1;
  }

  tv_dprintf("%s: processing data source: %s\n", "sink-sqlite", data_source.c_str());
  if (aggregator && !read.HasEntries()) return 0;
  purge_check = true;
  if (!aggregator) {
    logChannelError("%s: unsupported data_source on channel %s\n", "sink-sqlite", name.c_str());
    return -1;
  }
  int result;
  try {
    result = writer.Write(*this, read);
  } catch (const json::exception& e) {
    // A value of the wrong type in one payload costs that payload only; the
    // writer has rolled its transaction back already.
    logChannelError("%s: payload not stored: %s\n", name.c_str(), e.what());
    result = -1;
  } catch (const std::bad_alloc&) {
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    state->failure = SQLITE_NOMEM;
    result = -1;
  }
  if (result == 0) {
    tv_dprintf("%s: no rows saved from payload on channel %s\n", "sink-sqlite", name.c_str());
  }
  return result;
}

void tvsChannelConfig::PurgeWhenDue() {
  // last_purge is set before the purge runs, so a failing purge is not
  // retried until another day has passed. A last_purge ahead of the clock
  // means the clock was set back: waiting for it to pass last_purge again
  // would keep rows past their retention for as long as it had jumped ahead.
  const int64_t now = tvsClock(nullptr);
  if (purge_in_days > 0 && (now - last_purge > kSecondsPerDay || now < last_purge)) {
    last_purge = now;
    Purge("sink-sqlite: running daily purge for aggregate %s.%s\n");
  }
}

void tvsChannelConfig::Purge(const char* announcement) {
  ++state->purges_run;
  tv_dprintf(announcement, name.c_str(), db_name.c_str());
  PurgeAggregateData(name, db_path, db_name, purge_in_days, static_cast<int>(settings.busy_timeout),
                     settings.file_mode);
  truncateWal(*this);
}
