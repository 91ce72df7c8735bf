// The host's account of what became of each payload line it queued: which
// lines failed on which channel, and what was dropped for a channel that is
// not configured. Kept from the plugin's per-channel status counters, read
// on the worker's thread between payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tvPluginSink.h"

class PayloadOutcomes {
 public:
  // `channels`: the channels every payload is addressed to; `inputs`: the
  // names of the payload inputs, as messages give them. At most
  // `max_reports` failure lines are made; later failures are only counted.
  PayloadOutcomes(std::set<std::string> channels, std::vector<std::string> inputs,
                  size_t max_reports);

  // Host thread, before the payload from line `line` of input `input` is
  // queued. Payloads must be queued in the order of these calls.
  void Queued(size_t input, size_t line);

  // Reads `plugin`'s status and settles every payload its counters now
  // account for. Runs as the plugin's worker observer, or on any thread once
  // the worker has ended.
  void Observe(tvPluginSink& plugin, tvPluginSink::WorkerTurn turn);

  // Failure lines made since the last call, without the program's name, for
  // example "p.jsonl, line 3: failed on channel flows: <the channel's error>".
  std::vector<std::string> TakeReports();

  // Payloads that failed on some channel, each counted once per channel;
  // failures that no report line lists; payloads dropped per channel that
  // was not configured when the worker took them.
  uint64_t Failed() const;
  uint64_t Unlisted() const;
  std::map<std::string, uint64_t> Dropped() const;

 private:
  struct Origin {
    size_t input;
    size_t line;
  };
  // What the status said of a channel when last read, and the number of the
  // first payload whose outcome on it is not yet known.
  struct Seen {
    uint64_t payloads = 0;
    uint64_t failed = 0;
    uint64_t next = 0;
  };

  std::string Where(uint64_t first, uint64_t count) const;
  void Report(const std::string& channel, uint64_t first, uint64_t count, uint64_t failures,
              const std::string& error);

  const std::set<std::string> channels;
  const std::vector<std::string> inputs;
  const size_t max_reports;

  mutable std::mutex lock;
  std::deque<Origin> origins;  // origins[i] is that of payload number first_origin + i
  uint64_t first_origin = 0;
  uint64_t taken = 0;    // payloads the worker has taken
  bool loading = false;  // a load began: the counters may have started again
  uint64_t taken_at_load = 0;
  std::map<std::string, Seen> seen;
  std::map<std::string, uint64_t> dropped;
  uint64_t failed = 0;
  uint64_t unlisted = 0;
  size_t reports_made = 0;
  std::vector<std::string> reports;
};
