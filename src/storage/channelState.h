// What a channel record holds while it serves, apart from its configuration:
// the objects set up with its connection, the identity of the file it
// writes, the batch it has open and its counters.
//
// Worker thread only: the plugin's worker builds, uses and destroys records;
// the status is a snapshot the worker copies out. Nothing here survives a
// reload: a reload builds new records, whose state starts empty, and the
// plugin starts its counts afresh with them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "payloadLedger.h"
#include "retryBackoff.h"

struct sqlite3;
class tvsAggregateWriter;
struct tvsRollup;
class tvsFastReader;
class tvsWriteBatch;

// A file as the system knows it, whatever path names it.
struct tvsFileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const tvsFileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
  // The file at `path` now; none when it does not exist.
  static std::optional<tvsFileIdentity> Of(const std::string& path);
};

class tvsChannelState {
 public:
  tvsChannelState();
  ~tvsChannelState();

  // Plans how aggregator payloads map onto the first of `tables`, and into
  // `rollups`; done when the record is loaded, since the schemas never
  // change afterwards.
  void PlanWrites(const nlohmann::json& tables, const std::vector<tvsRollup>& rollups);
  // Sets up the transaction owner and the reader for a connection just
  // opened; `channel` names the channel in their log lines.
  void ConnectionOpened(sqlite3* db, const std::string& channel, int64_t commit_batch,
                        bool aggregator);
  // Lets go of everything that holds on to the connection, which closes next.
  void ConnectionClosing();
  // A batch is open, or a purge check waits for one that was.
  bool Pending() const;

  // Built by PlanWrites, kept for the record's life; it holds statements
  // only while the connection is open.
  std::unique_ptr<tvsAggregateWriter> writer;
  // Set up with the connection and gone before it closes.
  std::unique_ptr<tvsWriteBatch> batch;
  std::unique_ptr<tvsFastReader> fast_reader;

  // The configured file as the connection opened it, compared before every
  // payload; none before an open. `reopen_pending` asks the next payload to
  // reopen, after a reopen (or a reload's reopen) failed.
  std::optional<tvsFileIdentity> file;
  bool reopen_pending = false;

  bool purge_due = false;  // a written payload gave the daily purge its chance
  // Every payload the channel has taken and not yet reported, in order. A
  // reload hands the waiting ones to the channel's new record.
  tvsPayloadLedger ledger;
  // Outcomes taken from the ledger during a long pass over it (the last try
  // of many held payloads), kept in order for the owner.
  std::vector<std::pair<uint64_t, tvsOutcome>> settled;
  // With retry_mb: the bound on the text of waiting payloads, in bytes, and
  // the wait before their next try. 0 holds nothing.
  uint64_t retry_bytes = 0;
  tvsRetryBackoff backoff;

  // Counted since the record was built: retention purges run (start-up
  // included), the last failure line logged for the channel (without its
  // newline), size-cap purges, and the bytes the file's pages used at the
  // last size check (0 before one).
  uint64_t purges_run = 0;
  std::string last_error;
  uint64_t cap_purges = 0;
  int64_t used_bytes = 0;
  // Payloads stored after a failed try of their own, and waiting payloads
  // given up (beyond retry_mb, or at termination).
  uint64_t retried = 0;
  uint64_t dropped = 0;
};
