// The SQLite sink plugin: stores every payload queued on it in the databases
// of the channels that the payload names.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tvPluginSink.h"
#include "tvsChannelConfig.h"

class tvsReadAhead;

// What the status tells of one channel, counted since the last (re)load.
struct tvsChannelHealth {
  uint64_t payloads = 0;   // payloads handed to the channel
  uint64_t rows = 0;       // entry rows stored
  uint64_t failed = 0;     // payloads that ended in -1
  uint64_t empty = 0;      // payloads with nothing to store (0)
  uint64_t purges = 0;     // retention purges run, start-up included
  std::string last_error;  // the last failure line; empty when none
  std::string db_file;     // the database file, whose size GetStatus reports
  // Reported for a channel with max_db_mb only.
  bool capped = false;
  uint64_t cap_purges = 0;  // size-cap purges run
  int64_t used_bytes = 0;   // bytes the file's pages used at the last check
  // Reported for a channel with retry_mb.
  bool retrying = false;
  uint64_t held = 0;        // payloads held now, for another try or behind one
  uint64_t held_bytes = 0;  // their text
  uint64_t retried = 0;     // payloads stored after a failed try of their own
  uint64_t dropped = 0;     // held payloads given up: beyond retry_mb, at termination
};

// One payload that failed on one channel, as the status lists it.
struct tvsPayloadFailure {
  uint64_t failure;  // its place among the plugin's failures, 1 for the first
  uint64_t payload;  // the payload's place among those the worker took, 1 for the first
  std::string channel;
  std::string error;  // the failure line, without its newline
};

class tvsPlugin : public tvPluginSink {
 public:
  // Reads no file: the first pass of the worker loads the configuration.
  tvsPlugin(const std::string& tag, const std::map<std::string, std::string>& params);
  // Joins the worker (the agent has called Terminate), then closes every
  // channel's database by releasing the channel records.
  ~tvsPlugin() override;

  // Worker loop: reloads when asked, waits on the payload queue and writes
  // every payload popped. Returns null once termination is requested.
  // Configuration errors leave it as exceptions.
  void* Entry() override;

  void GetLibrary(std::string& library) override;
  void GetName(std::string& display_name) override;
  void GetVersion(std::string& version) override;
  // Sets status["entries"] to the rows written since the last (re)load,
  // status["channels"] to one object of counters per channel, and, over the
  // plugin's life, status["failures"] to the latest payload failures (at most
  // kRecentFailures, each with its payload's number), "failures_total" to
  // their count and "unsettled_from" to the number of the oldest payload
  // whose outcome is not known yet (the next to take when none).
  void GetStatus(nlohmann::json& status) override;
  // Prints "rows added" when status["entries"] is an unsigned JSON integer.
  void DisplayStatus(const nlohmann::json& status) override;
  // Event 0 requests a reload before the worker next waits. Any thread.
  void DispatchEvent(Event event, void* argument) override;

  // Rebuilds `defaults` and `channels` from the configuration file and opens
  // every channel's database. Worker thread only; throws on every failure.
  void Reload();
  // A reload while channels are serving: the new configuration is read,
  // loaded and opened before the running one is given up. On any failure the
  // running channels keep storing; the failure is logged through the
  // operator log and counted in the status. Returns true when it took effect.
  bool ReloadKeepingChannels();
  // Hands a copy of the payload text to each named channel and counts the
  // rows of every payload whose outcome is final. A channel with
  // commit_batch above 1 stages it in its open batch. `number` is the
  // payload's place among those taken. Worker thread only.
  void WritePayload(const std::shared_ptr<tvPluginSinkPayload>& payload, uint64_t number = 0);
  // Drains what is queued now, in groups of up to the largest commit_batch
  // of a channel (1 when none batches): writes a group, commits every open
  // batch and counts it, then serves a pending reload. Returns with every
  // batch committed, also when an exception leaves it.
  void Drain();
  // Commits and counts every channel's open batch.
  void CommitBatches();
  // Payloads taken from the queue at a time when a channel reads ahead.
  static constexpr size_t kReadAheadGroup = 64;
  // The payload failures the status lists at most.
  static constexpr size_t kRecentFailures = 1024;
  // Tries every channel's held payloads whose back-off has passed; the last
  // try, at termination, tries them all once and settles every one.
  void RetryHeld(bool last_try);

  using ChannelMap = std::map<std::string, std::shared_ptr<tvsChannelConfig>>;

  // The largest row count the status reports; the count saturates there.
  static constexpr int32_t kMaxRowsAdded = INT32_MAX;

 private:
  // Reads and parses the configuration file; throws as Reload does.
  nlohmann::json ReadConfiguration() const;
  // Loads `into` from the top level of `document` and checks its db_path.
  void LoadDefaults(tvsChannelConfig& into, const nlohmann::json& document) const;
  // Builds one record per enabled channel of `document` into `into`.
  void BuildChannels(const nlohmann::json& document, const tvsChannelConfig& seed,
                     ChannelMap& into) const;
  // Gives the payloads each running channel holds to its record in `next`;
  // those of a channel `next` lacks fail, with an operator line.
  void HandOverHeld(ChannelMap& next);
  // Acts on a pending reload request; the first load goes through Reload.
  void ServeReload();

  // Commits `channel`'s open batch and counts its payloads; runs the purge
  // checks it deferred.
  void CommitBatch(const std::string& channel_name, tvsChannelConfig& channel);
  // The largest commit_batch of the loaded channels.
  int32_t LargestBatch() const;

  // Writes `text` (its channel's own copy) to `channel` and counts it;
  // `read` is what the fast reader read of it, when it has.
  void WriteTo(const std::string& channel_name, tvsChannelConfig& channel, const std::string& text,
               const tvsAggregatePayload* read, uint64_t number);
  // The queue's next payload, numbered; false when there is none.
  bool TakePayload(std::shared_ptr<tvPluginSinkPayload>& payload, uint64_t& number);
  // Whether a loaded channel has read_ahead.
  bool ReadsAhead() const;
  // The channel `payload` may be read ahead for: its only channel, when that
  // reads ahead, is an aggregator and holds no payloads; else null.
  tvsChannelConfig* ReadAheadChannel(const tvPluginSinkPayload& payload) const;
  // Takes up to `most` queued payloads and writes them in order, each read
  // on the second thread while the one before is written; returns how many
  // were taken.
  size_t WriteReadingAhead(size_t most);

  // Counts the outcomes `channel` has settled and copies what its running
  // state tells (worker thread).
  void Account(const std::string& channel_name, tvsChannelConfig& channel);
  // The number of the oldest payload whose outcome is not known on every
  // channel it names (worker thread).
  uint64_t OldestUnsettled() const;
  // Payload `number` has been handed to every channel it names.
  void Handed(uint64_t number);
  // Starts the counters afresh after a (re)load (worker thread).
  void ResetStatus();

  std::atomic<bool> reload_requested{true};
  bool loaded = false;  // the first configuration load has succeeded
  tvsChannelConfig defaults;
  std::map<std::string, std::shared_ptr<tvsChannelConfig>> channels;
  std::unique_ptr<tvsReadAhead> read_ahead;  // started by the first channel that reads ahead
  uint64_t taken = 0;                        // payloads taken from the queue (worker thread)
  uint64_t handed = 0;  // the last payload every named channel has taken (worker thread)
  std::mutex status_lock;
  int32_t rows_added = 0;
  std::map<std::string, tvsChannelHealth> health;  // guarded by status_lock
  uint64_t reload_failures = 0;                    // guarded by status_lock
  std::string last_reload_error;                   // guarded by status_lock
  std::deque<tvsPayloadFailure> failures;          // guarded by status_lock
  uint64_t failures_total = 0;                     // guarded by status_lock
  uint64_t unsettled_from = 1;                     // guarded by status_lock

  friend class tvsPluginTestAccess;
};
