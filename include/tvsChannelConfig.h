// The record of one channel: its settings from the configuration file, its
// table schemas, its open database connection and the time of its last daily
// purge. Records are created, loaded, used and destroyed on the plugin's
// worker thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;
class tvsAggregateWriter;
class tvsWriteBatch;
class tvsFastReader;

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

class tvsChannelConfig {
 public:
  tvsChannelConfig();
  tvsChannelConfig(const tvsChannelConfig&) = delete;
  tvsChannelConfig& operator=(const tvsChannelConfig&) = delete;
  // Closes `db` when it is open; the result of the close is ignored.
  virtual ~tvsChannelConfig();

  // Sets `name` and reads "purge_in_days", "db_path" (host variables
  // expanded), "db_name", "data_source" and "tables" from `channel`, each only
  // when it has the expected JSON type; then adds the default columns. Throws
  // tvException when "db_path" is given and the host has no global
  // configuration; `tables` is then left as it was.
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

  // Writes one payload's text in the channel's transaction: alone, or with
  // commit_batch N staged among up to N payloads that share one (committed
  // when N are staged). Appends to `settled` the result of every payload
  // whose outcome is now final, as InsertPayload returns it, in the order
  // the payloads came: this one's when it was written alone; in a batch
  // every result waits for CommitBatch (or for the end of a transaction that
  // SQLite ended, when the staged ones are -1).
  void WritePayload(const std::string& payload_text, std::vector<int>& settled);
  // Commits the open batch, logs its "saved" lines and appends its results
  // to `settled`; then runs the purge checks the batch deferred.
  void CommitBatch(std::vector<int>& settled);
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
  // The transaction payloads are written in, and an aggregator's writer and
  // reader, set up with `db`; declared after it, so they go first.
  std::unique_ptr<tvsWriteBatch> batch;
  std::unique_ptr<tvsAggregateWriter> writer;
  std::unique_ptr<tvsFastReader> fast_reader;

  // Optional SQLite settings of the channel's connection, lower case; empty
  // (or -1) when not configured, which leaves SQLite's defaults.
  std::string journal_mode;
  std::string synchronous;
  std::string auto_vacuum;
  int32_t busy_timeout = -1;
  // "add_columns" adds configured columns an existing table lacks.
  std::string schema_update;
  // Payloads drained together that may share one transaction, each in its
  // own savepoint; 1 commits every payload alone.
  int32_t commit_batch = 1;
  // The bound on the pages the file uses, in MiB; 0 for none. Above it the
  // oldest intervals go until 90 % of it is used.
  int64_t max_db_mb = 0;
  // The size the -wal file is cut back to in WAL mode, in MiB; -1 for the
  // default (16, or a tenth of max_db_mb when that is less, at least 1).
  int64_t wal_limit_mb = -1;

  // The configured file as it was when `db` opened it; compared before
  // every payload. `reopen_pending` asks the next payload to reopen.
  uint64_t db_device = 0;
  uint64_t db_inode = 0;
  bool db_file_known = false;
  bool reopen_pending = false;

  // Since the record was built: purges run and the last failure line logged
  // for the channel (without its newline). Worker thread only.
  uint64_t purges_run = 0;
  std::string last_error;
  // Cap purges run since the record was built, and the bytes the file's
  // pages used after the last check (0 before one).
  uint64_t cap_purges = 0;
  int64_t used_bytes = 0;

 private:
  // Reads and writes one payload; logs as InsertPayload does, but for the
  // "saved" line. `purge_check` tells whether the payload gives the daily
  // purge its chance.
  int StorePayload(const std::string& payload_text, bool& purge_check);
  void PurgeWhenDue();

  // Stored rows of a commit: their "saved" lines, then the size cap.
  void Committed(const std::vector<int>& settled, size_t from);

  bool purge_due = false;    // a staged payload gave the daily purge its chance
  std::vector<int> in_batch;  // results of the open batch's payloads, in order
};
