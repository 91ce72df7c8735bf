// The door through which every payload reaches a channel: taken into the
// ledger, written, committed from one place, and settled.
#include <cinttypes>
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
#include "rollupTables.h"
#include "sizeCap.h"
#include "sqliteHandles.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"
#include "writeBatch.h"

using json = nlohmann::json;
using State = tvsPayloadLedger::State;

std::time_t (*tvsClock)(std::time_t*) = std::time;

namespace {

constexpr int64_t kSecondsPerDay = 86400;

void logSaved(int rows, const std::string& channel) {
  tv_dprintf("%s: saved %d rows from payload on channel %s\n", "sink-sqlite", rows,
             channel.c_str());
}

}  // namespace

int tvsChannelConfig::InsertPayload(const std::string& payload_text) {
  TakePayload(0, payload_text);
  CommitBatch();
  std::vector<tvsPayloadLedger::Settled> settled;
  TakeSettled(settled);
  return settled.empty() ? 0 : settled.back().second.rows;
}

bool tvsChannelConfig::RetryEnabled() const { return state->retry_bytes > 0; }

void tvsChannelConfig::TakePayload(uint64_t number, const std::string& payload_text,
                                   const tvsAggregatePayload* read) {
  tvsPayloadLedger& ledger = state->ledger;
  if (InDoubt()) SettleInDoubt(false);
  // Handed over by a reload to a record without retry_mb: tried once, ahead
  // of this one, if their deadline has not come first.
  if (ledger.Waiting() && !RetryEnabled()) TryWaiting(true);
  ledger.Append(number);
  const size_t index = ledger.Size() - 1;
  // A row written while an earlier COMMIT is in doubt could take the
  // interval id the answer is read by: with retry_mb the payload waits, as
  // behind a held one; without, it fails.
  if (InDoubt() && !RetryEnabled()) {
    Settle(index, tvsOutcome::Failure(
                      SQLITE_CANTOPEN,
                      logChannelError("%s: payload not stored: whether an earlier COMMIT reached "
                                      "the file is not known yet\n",
                                      name.c_str())));
    return;
  }
  if (!ledger.Waiting() && !InDoubt()) {
    WriteEntry(index, payload_text, read);
    return;
  }
  // Behind the waiting ones, so the channel keeps the order payloads came in.
  try {
    ledger.Keep(ledger.At(index), readableCopy(payload_text.data(), payload_text.size()));
  } catch (const std::bad_alloc&) {
    Settle(index, tvsOutcome::Failure(
                      SQLITE_NOMEM,
                      logChannelError("%s: payload not stored: out of memory\n", name.c_str())));
    return;
  }
  TrimWaiting();
}

void tvsChannelConfig::WriteEntry(size_t index, const std::string& payload_text,
                                  const tvsAggregatePayload* read) {
  tvsPayloadLedger& ledger = state->ledger;
  bool purge_check = false;
  const size_t staged_before = state->batch ? state->batch->Staged() : 0;
  tvsOutcome outcome = Write(payload_text, read, purge_check);
  state->purge_due = state->purge_due || purge_check;
  // A reopen has set up a new batch.
  tvsWriteBatch* const batch = state->batch.get();
  if (batch && batch->TakeLost() > 0) {
    // SQLite rolled back the transaction with the payloads written before.
    SettleWritten(false, false, tvsOutcome::Failure(outcome.code, batch->LostLine()));
  }
  // Its rows (or its interval row alone) wait in the open transaction.
  if (!outcome.Failed() && batch && batch->Staged() > staged_before) {
    tvsPayloadLedger::Entry& entry = ledger.At(index);
    entry.outcome = std::move(outcome);
    ledger.Move(entry, State::kWritten);
    // Should its COMMIT fail for a transient reason, it is held: with its text.
    if (RetryEnabled() && !entry.kept) {
      try {
        ledger.Keep(entry, readableCopy(payload_text.data(), payload_text.size()));
      } catch (const std::bad_alloc&) {
        // Without a copy it fails with its batch, should that fail.
      }
    }
    if (!batch->Batched() || batch->Full()) CommitOpen();
  } else if (outcome.Transient() && RetryEnabled()) {
    // What was written before it goes first: committed now, or held in front
    // of it when that fails too.
    const bool committed = CommitOpen();
    if (Hold(index, payload_text, outcome)) {
      // One failed try: a COMMIT that failed too has counted it already.
      if (committed) {
        TryFailed();
      } else {
        TrimWaiting();
      }
    } else {
      Settle(index, std::move(outcome));
    }
  } else {
    Settle(index, std::move(outcome));
  }
  PurgeIfDue();
}

tvsOutcome tvsChannelConfig::Write(const std::string& payload_text, const tvsAggregatePayload* read,
                                   bool& purge_check) {
  std::string line;  // the last failure line logged for this payload
  const tvsErrorCapture capture(line);
  tvsOutcome outcome;
  try {
    // The file is checked between transactions only: the connection must
    // stay open while one is.
    const bool staging = state->batch && state->batch->Open();
    outcome = !staging && !EnsureConfiguredFile() ? tvsOutcome::Failure(SQLITE_CANTOPEN, {})
                                                  : StorePayload(payload_text, purge_check, read);
  } catch (const std::bad_alloc&) {
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    outcome = tvsOutcome::Failure(SQLITE_NOMEM, {});
  } catch (const std::exception& e) {
    // Whatever one payload raises costs that payload only.
    logChannelError("%s: payload not stored: %s\n", name.c_str(), e.what());
    outcome = tvsOutcome::Failure(SQLITE_ERROR, {});
  }
  // A reopen may have set up a new batch; what it kept is this write's.
  if (state->batch) state->batch->TakeFailure();
  // The last failure line logged while it was written says why.
  if (outcome.Failed()) outcome.message = std::move(line);
  return outcome;
}

void tvsChannelConfig::CommitBatch() {
  CommitOpen();
  PurgeIfDue();
}

bool tvsChannelConfig::CommitOpen() {
  tvsWriteBatch* const batch = state->batch.get();
  if (!batch || !batch->Open()) return true;
  const int64_t first_interval = batch->FirstInterval();
  const tvsWriteBatch::CommitResult result = batch->Commit();
  const int code = batch->CommitCode();
  batch->TakeFailure();
  if (result == tvsWriteBatch::CommitResult::kEnded) {
    // SQLite ended the transaction itself, maybe after its commit point:
    // only the file can tell, as a fresh open sees it. The connection may
    // not see what the failed COMMIT left (frames in the -wal that its index
    // never got) while the next open would, so the file is opened again.
    tvsPayloadLedger& ledger = state->ledger;
    for (size_t i = 0, left = ledger.CountOf(State::kWritten); left > 0; ++i) {
      tvsPayloadLedger::Entry& entry = ledger.At(i);
      if (entry.state != State::kWritten) continue;
      --left;
      entry.outcome.code = code;
      entry.outcome.message = batch->CommitError();
      entry.first_interval = first_interval;
      ledger.Move(entry, State::kInDoubt);
    }
    // `batch` is gone after this.
    return SettleInDoubt(true) == Fate::kStored;
  }
  const bool stored = result == tvsWriteBatch::CommitResult::kCommitted;
  if (SettleWritten(false, stored, tvsOutcome::Failure(code, batch->CommitLine()))) {
    enforceSizeCap(*this, first_interval);
  } else if (!stored && state->ledger.Any(State::kHeld)) {
    TryFailed();
  }
  return stored;
}

tvsChannelConfig::Fate tvsChannelConfig::SettleInDoubt(bool reopen) {
  tvsPayloadLedger& ledger = state->ledger;
  const size_t count = ledger.CountOf(State::kInDoubt);
  if (count == 0) return Fate::kNone;
  size_t first = 0;
  while (ledger.At(first).state != State::kInDoubt) ++first;
  const tvsOutcome& commit = ledger.At(first).outcome;
  const int64_t first_interval = ledger.At(first).first_interval;
  std::string why;
  if ((reopen || state->reopen_pending || !db) && !Reopen(why)) {
    logChannelError(
        "%s: COMMIT failed (%s), and the file could not be opened to see whether it is there: "
        "%s\n",
        name.c_str(), commit.message.c_str(), why.c_str());
    return Fate::kUnknown;
  }
  // A hot journal is rolled back by this read, a -wal replayed by the open.
  const std::string found = pragmaValue(db.get(),
                                        "SELECT count(*) FROM " + IntervalsTable() +
                                            " WHERE id = " + std::to_string(first_interval) + ";",
                                        why);
  if (!why.empty()) {
    logChannelError(
        "%s: COMMIT failed (%s), and the file could not be read to see whether it is "
        "there: %s\n",
        name.c_str(), commit.message.c_str(), why.c_str());
    return Fate::kUnknown;
  }
  if (found == "1") {
    tv_dprintf("%s: COMMIT reported \"%s\", but the transaction is in the file\n", name.c_str(),
               commit.message.c_str());
    if (SettleWritten(true, true, tvsOutcome())) enforceSizeCap(*this, first_interval);
    return Fate::kStored;
  }
  const int code = commit.code;
  const std::string line = logCommitFailed(name, count, commit.message);
  SettleWritten(true, false, tvsOutcome::Failure(code, line));
  if (ledger.Any(State::kHeld)) TryFailed();
  return Fate::kFailed;
}

bool tvsChannelConfig::SettleWritten(bool in_doubt, bool stored, const tvsOutcome& failure) {
  tvsPayloadLedger& ledger = state->ledger;
  const State which = in_doubt ? State::kInDoubt : State::kWritten;
  bool rows_stored = false;
  // They stand before every waiting payload (I2), of which there may be
  // many: the scan ends with the last of them.
  for (size_t i = 0, left = ledger.CountOf(which); left > 0; ++i) {
    tvsPayloadLedger::Entry& entry = ledger.At(i);
    if (entry.state != which) continue;
    --left;
    if (stored) {
      if (entry.outcome.rows > 0) {
        logSaved(entry.outcome.rows, name);
        rows_stored = true;
      }
      if (entry.tries > 0) {
        ++state->retried;
        tv_dprintf("%s: held payload stored at try %u\n", name.c_str(), entry.tries + 1);
      }
      ledger.Settle(entry, tvsOutcome::Stored(entry.outcome.rows));
    } else if (!(failure.Transient() && RetryEnabled() && Hold(i, std::string(), failure))) {
      Settle(i, failure);
    }
  }
  return rows_stored;
}

bool tvsChannelConfig::Hold(size_t index, const std::string& payload_text,
                            const tvsOutcome& cause) {
  tvsPayloadLedger& ledger = state->ledger;
  tvsPayloadLedger::Entry& entry = ledger.At(index);
  if (!entry.kept) {
    // Only the payload being written has its text at hand.
    if (entry.state != State::kQueued) return false;
    try {
      ledger.Keep(entry, readableCopy(payload_text.data(), payload_text.size()));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  ++entry.tries;
  entry.outcome = cause;
  ledger.Move(entry, State::kHeld);
  tv_dprintf("%s: payload held for another try (%zu held, %" PRIu64 " bytes)\n", name.c_str(),
             ledger.WaitingCount(), ledger.WaitingBytes());
  return true;
}

void tvsChannelConfig::Settle(size_t index, tvsOutcome outcome) {
  if (outcome.Failed()) state->last_error = outcome.message;
  state->ledger.Settle(state->ledger.At(index), std::move(outcome));
}

void tvsChannelConfig::TakeSettled(std::vector<tvsPayloadLedger::Settled>& out) {
  state->ledger.Check();
  for (auto& settled : state->settled) out.push_back(std::move(settled));
  state->settled.clear();
  state->ledger.TakeSettled(out);
}

size_t tvsChannelConfig::WaitingPayloads() const { return state->ledger.WaitingCount(); }
bool tvsChannelConfig::InDoubt() const { return state->ledger.Any(State::kInDoubt); }
uint64_t tvsChannelConfig::WaitingBytes() const { return state->ledger.WaitingBytes(); }
uint64_t tvsChannelConfig::OldestUnsettled() const { return state->ledger.OldestUnsettled(); }

bool tvsChannelConfig::Pending() const { return state->Pending(); }

tvsOutcome tvsChannelConfig::StorePayload(const std::string& payload_text, bool& purge_check,
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
    return tvsOutcome::Failure(SQLITE_ERROR, {});
  } catch (const tvsNestingError& e) {
    logChannelError("%s: JSON parse error: %s\n", name.c_str(), e.what());
    return tvsOutcome::Failure(SQLITE_ERROR, {});
  } catch (const std::bad_alloc&) {
    // One payload too large for the memory left costs that payload only.
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    return tvsOutcome::Failure(SQLITE_NOMEM, {});
  }

  tv_dprintf("%s: processing data source: %s\n", "sink-sqlite", data_source.c_str());
  if (aggregator && !read.HasEntries()) return tvsOutcome::Stored(0);
  purge_check = true;
  if (!aggregator) {
    logChannelError("%s: unsupported data_source on channel %s\n", "sink-sqlite", name.c_str());
    return tvsOutcome::Failure(SQLITE_ERROR, {});
  }
  int rows;
  try {
    rows = writer.Write(*this, read);
  } catch (const json::exception& e) {
    // A value of the wrong type in one payload costs that payload only; the
    // writer has rolled its transaction back already.
    logChannelError("%s: payload not stored: %s\n", name.c_str(), e.what());
    return tvsOutcome::Failure(SQLITE_ERROR, {});
  } catch (const std::bad_alloc&) {
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    return tvsOutcome::Failure(SQLITE_NOMEM, {});
  }
  if (rows < 0) {
    // A step of SQLite failed (its code kept by the batch), or the handle
    // was missing.
    const int code = state->batch ? state->batch->TakeFailure() : SQLITE_OK;
    return tvsOutcome::Failure(code == SQLITE_OK ? SQLITE_ERROR : code, {});
  }
  if (rows == 0) {
    tv_dprintf("%s: no rows saved from payload on channel %s\n", "sink-sqlite", name.c_str());
  }
  return tvsOutcome::Stored(rows);
}

void tvsChannelConfig::PurgeIfDue() {
  if (!state->purge_due || (state->batch && state->batch->Open())) return;
  state->purge_due = false;
  const tvsErrorCapture capture(state->last_error);
  try {
    // last_purge is set before the purge runs, so a failing purge is not
    // retried until another day has passed. A last_purge ahead of the clock
    // means the clock was set back: waiting for it to pass last_purge again
    // would keep rows past their retention for as long as it had jumped
    // ahead.
    const int64_t now = tvsClock(nullptr);
    const bool expiring = purge_in_days > 0 || rollupsExpire(*this);
    if (expiring && (now - last_purge > kSecondsPerDay || now < last_purge)) {
      last_purge = now;
      if (purge_in_days > 0) Purge("sink-sqlite: running daily purge for aggregate %s.%s\n");
      purgeRollups(*this, now);
    }
  } catch (const std::exception& e) {
    // Stored rows are not at stake: the purge waits for its next chance.
    logChannelError("%s: daily purge skipped: %s\n", name.c_str(), e.what());
  }
}

void tvsChannelConfig::Purge(const char* announcement) {
  ++state->purges_run;
  tv_dprintf(announcement, name.c_str(), db_name.c_str());
  PurgeAggregateData(name, db_path, db_name, purge_in_days, static_cast<int>(settings.busy_timeout),
                     settings.file_mode);
  truncateWal(*this);
}
