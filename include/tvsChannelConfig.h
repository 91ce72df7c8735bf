// The record of one channel: its settings from the configuration file, its
// table schemas, its open database connection and the time of its last daily
// purge. Records are created, loaded, used and destroyed on the plugin's
// worker thread only.
//
// The configuration (the members from `name` to `tables`, and `settings`) is
// written by Load and the key table only, and read by everyone. The running
// state is the storage code's: `db` and `state` (src/storage/channelState.h)
// change through the methods below; `last_purge` belongs to the daily purge.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;
struct tvsAggregatePayload;
struct tvsOutcome;
class tvsChannelState;

// Closes a connection; accepts null, so a handle from a failed open closes too.
struct tvsSqliteClose {
  void operator()(sqlite3* db) const noexcept;
};
using tvsDbHandle = std::unique_ptr<sqlite3, tvsSqliteClose>;

// The names derived from a channel's settings, made here only.
inline std::string tvsIntervalsTable(const std::string& channel) { return channel + "_intervals"; }
inline std::string tvsDatabaseFile(const std::string& db_path, const std::string& db_name) {
  return db_path + "/" + db_name;
}

// The settings a channel may give beyond the record's own. Their keys, types,
// ranges and defaults are listed once, in the key table of
// src/channel/channelSettings.cpp; the values here are lower case.
struct tvsChannelSettings {
  // The table's defaults.
  tvsChannelSettings();

  // Connection settings; empty (or -1) leaves SQLite's default.
  std::string journal_mode;
  std::string synchronous;
  std::string auto_vacuum;
  int64_t busy_timeout;
  // "add_columns" adds configured columns an existing table lacks.
  std::string schema_update;
  // Payloads drained together that may share one transaction, each in its
  // own savepoint; 1 commits every payload alone.
  int64_t commit_batch;
  // The bound on the pages the file uses, in MiB; 0 for none. Above it the
  // oldest intervals go until 90 % of it is used.
  int64_t max_db_mb;
  // The size the -wal file is cut back to in WAL mode, in MiB; -1 for the
  // default (16, or a tenth of max_db_mb when that is less, at least 1).
  int64_t wal_limit_mb;
  // MiB of payload text held after transient failures, to be tried again; 0
  // holds nothing: such payloads fail at once.
  int64_t retry_mb;
  // The longest wait between two tries of held payloads, in seconds.
  int64_t retry_max_s;
  // A second thread reads the channel's next payload while the worker
  // writes the one before.
  bool read_ahead;
  // Rollup definitions as configured (null for none); checked and planned
  // when the record is loaded.
  nlohmann::json rollups;
  // The mode a database file the plugin creates gets (its journal, -wal and
  // -shm files follow it); never one that grants others any access.
  int64_t file_mode;
};

class tvsChannelConfig {
 public:
  tvsChannelConfig();
  tvsChannelConfig(const tvsChannelConfig&) = delete;
  tvsChannelConfig& operator=(const tvsChannelConfig&) = delete;
  // Closes `db` when it is open; the result of the close is ignored.
  virtual ~tvsChannelConfig();

  // Sets `name` and reads every key of the key table from `channel` (the
  // record's own: purge_in_days, db_path with host variables expanded,
  // db_name, data_source and tables; then `settings`), each only when it has
  // the expected JSON type; then adds the default columns and plans how
  // payloads map onto them. Throws tvException when "db_path" is given and
  // the host has no global configuration (`tables` is then left as it was),
  // and for a setting outside its set or range.
  void Load(const std::string& channel_name, const nlohmann::json& channel);

  // For an aggregator channel, puts the columns `id` and `interval_id` ahead
  // of the columns of every table schema in `tables`.
  void AddDefaultColumns();

  // Opens `db` at db_path/db_name, creates the intervals table, its indexes
  // and the configured tables, switches foreign keys on and runs the start-up
  // purge of an aggregator channel with a positive retention. Throws
  // tvException (or the schema generator's errors) on failure; `db` keeps
  // whatever was opened.
  void InitDatabase();

  // Stores one payload's JSON text. Returns the entry rows committed, 0 when
  // there was nothing to store, -1 on failure (logged). Then runs the daily
  // purge when it is due.
  int InsertPayload(const std::string& payload_text);

  // Takes payload `number` (the plugin's count of payloads taken) into the
  // channel's ledger and writes it in the channel's transaction: alone, or
  // with commit_batch N staged among up to N payloads that share one
  // (committed when N are staged). While payloads wait for another try
  // (retry_mb, or handed over by a reload) it queues behind them, so the
  // channel keeps its arrival order. `read`, when given, is what the fast
  // reader read of the text with this channel's column plan: then the text
  // is not read again. Outcomes are reported by TakeSettled.
  void TakePayload(uint64_t number, const std::string& payload_text,
                   const tvsAggregatePayload* read = nullptr);
  // Commits the open transaction (its "saved" lines logged), then runs the
  // purge checks the batch deferred. With retry_mb, the payloads of a COMMIT
  // that fails for a transient reason are held.
  void CommitBatch();
  // Tries the waiting payloads again, oldest first: with retry_mb once their
  // back-off has passed, a round at a time; without (a reload handed them
  // over) at once, each once. The last try, at termination, tries them all
  // and settles those still failing as lost: nothing is left unsettled.
  void RetryHeld(bool last_try = false);
  // Takes payload `number` that failed before it could be written (no memory
  // for the channel's copy), with `outcome`.
  void TakeFailed(uint64_t number, tvsOutcome outcome);
  // Settles every waiting payload, and every one in doubt, failed with
  // `message`, counted dropped; returns how many. For the last word on
  // them: termination, a reload that removed the channel.
  size_t DropWaiting(const std::string& message);
  // Moves the waiting payloads of `previous` (the channel's record before a
  // reload), and those in doubt, in front of this record's, with their
  // back-off.
  void TakeWaitingFrom(tvsChannelConfig& previous);
  // Before a hand-over to a record that writes `next_file`: payloads in
  // doubt about another file can be asked no more, and fail.
  void LetGoOfInDoubt(const std::string& next_file);
  // Moves the outcomes settled in front of the first unsettled payload into
  // `out`, in arrival order.
  void TakeSettled(std::vector<std::pair<uint64_t, tvsOutcome>>& out);
  // Payloads waiting for another try, and their text.
  size_t WaitingPayloads() const;
  // Payloads whose COMMIT failed and whose file could not yet say whether
  // they are in it.
  bool InDoubt() const;
  uint64_t WaitingBytes() const;
  // The number of the oldest payload not yet reported; 0 when none.
  uint64_t OldestUnsettled() const;
  // A batch is open, or a purge check waits for one that was.
  bool Pending() const;
  // Both records write the same database file.
  bool SharesFileWith(const tvsChannelConfig& other) const;

  // Stores one parsed aggregator payload: one <name>_intervals row and one
  // row per "stats" element in the first table, in one transaction. Returns
  // the entry rows committed, 0 when timestamps are missing, -1 after a
  // rollback. JSON type errors in the payload are raised after the
  // transaction has been rolled back.
  int ProcessAggregateData(const nlohmann::json& payload);

  // Commits an open batch (its "saved" lines logged), then closes `db`
  // after the statements the writer keeps on it.
  void CloseDatabase() noexcept;

  std::string IntervalsTable() const { return tvsIntervalsTable(name); }
  std::string FilePath() const { return tvsDatabaseFile(db_path, db_name); }
  bool IsAggregator() const { return data_source == "aggregator"; }

  // True when `db` still writes the file at db_path/db_name. When that file
  // was removed or replaced since it was opened (or an earlier reopen
  // failed), logs it and reopens the database as at start-up; false (logged)
  // when that fails. Records never opened are left alone.
  bool EnsureConfiguredFile();

  std::string name;
  std::string db_path = "/tmp";
  std::string db_name;
  std::string data_source;
  int32_t purge_in_days = 0;
  int64_t last_purge = 0;
  nlohmann::json tables;
  tvsDbHandle db;
  // The settings beyond those above, loaded and copied with them.
  tvsChannelSettings settings;
  // What the record holds while it serves: the writer set up with `db`, the
  // file's identity, the open batch and the counters. Built with the record,
  // never null; declared after `db`, so it goes first.
  std::unique_ptr<tvsChannelState> state;

 private:
  bool RetryEnabled() const;
  // Writes the waiting payloads again, oldest first, until one is held
  // again: `now`, all of them; else once their back-off has passed, a round
  // of them (with retry_mb).
  void TryWaiting(bool now);
  // Writes the ledger's entry `index` from `payload_text`, and moves it on
  // by the outcome.
  void WriteEntry(size_t index, const std::string& payload_text, const tvsAggregatePayload* read);
  // Reads and writes one payload; logs as InsertPayload does, but for the
  // "saved" line. `purge_check` tells whether the payload gives the daily
  // purge its chance. Nothing it raises leaves it: an exception fails the
  // payload.
  tvsOutcome Write(const std::string& payload_text, const tvsAggregatePayload* read,
                   bool& purge_check);
  // The reading and writing itself: the entry rows written, 0 when there was
  // nothing to store, or the failure (logged; its message is left to Write),
  // classified where it happened.
  tvsOutcome StorePayload(const std::string& payload_text, bool& purge_check,
                          const tvsAggregatePayload* read);
  // Commits the open transaction: the one place a COMMIT starts. Its written
  // payloads are stored, held or failed. False when they were not stored.
  bool CommitOpen();
  // What became of payloads whose COMMIT is in doubt.
  enum class Fate { kNone, kStored, kFailed, kUnknown };
  // Asks the file whether the transaction of the payloads in doubt (their
  // COMMIT failed after SQLite had ended it) is there, and settles them:
  // stored, or failed (held with retry_mb). `reopen` opens the file afresh
  // first, as it is whenever the connection is not open. kUnknown when the
  // file cannot be asked: they stay in doubt, and nothing else is written.
  Fate SettleInDoubt(bool reopen);
  // The written payloads (with `in_doubt`, those in doubt), after their
  // transaction ended: stored, or failed (held with retry_mb when `failure`
  // is transient). True when rows were stored.
  bool SettleWritten(bool in_doubt, bool stored, const tvsOutcome& failure);
  // Holds the ledger's entry `index` for another try after `cause` (its text
  // is `payload_text` when it keeps none yet). Returns false when it could
  // not be held.
  bool Hold(size_t index, const std::string& payload_text, const tvsOutcome& cause);
  // After a failed try: the next waits longer; the bound is kept.
  void TryFailed();
  // Fails the newest waiting payload when it alone passes retry_mb, else
  // drops the oldest while the waiting text passes it.
  void TrimWaiting();
  // Settles the ledger's entry `index`; a failure becomes the last error.
  void Settle(size_t index, tvsOutcome outcome);
  // Runs the daily purge when a written payload gave it its chance and no
  // transaction is open.
  void PurgeIfDue();
  void PurgeWhenDue();
  // The retention purge with its announcement line: at start-up or daily.
  void Purge(const char* announcement);

  // Reopens the database as at start-up; false (with `why`) when that failed,
  // and the next payload tries again.
  bool Reopen(std::string& why);
};
