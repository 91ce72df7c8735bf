// The host's account of what became of each payload line it queued: which
// lines failed on which channel, and what was dropped for a channel that is
// not configured. Read from the plugin's status, whose failures name the
// payload each one befell by its place among those the worker took.
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

  // Reads `plugin`'s status and reports every failure it lists that is new.
  // Runs as the plugin's worker observer, or on any thread once the worker
  // has ended.
  void Observe(tvPluginSink& plugin, tvPluginSink::WorkerTurn turn);

  // Failure lines made since the last call, without the program's name, for
  // example "p.jsonl, line 3: failed on channel flows: <the channel's error>";
  // payloads next to each other that failed alike on one channel share a
  // line: "p.jsonl, lines 3-9: 7 payloads failed on channel flows: <error>".
  std::vector<std::string> TakeReports();

  // Payloads that failed on some channel, each counted once per channel (and
  // per channel, with the last error); failures that no report line lists;
  // payloads dropped per channel that was not configured when the worker
  // took them.
  uint64_t Failed() const;
  std::map<std::string, uint64_t> FailedOn() const;
  uint64_t Unlisted() const;
  std::map<std::string, uint64_t> Dropped() const;

 private:
  struct Origin {
    size_t input;
    size_t line;
  };
  // Failures of neighbouring payloads on one channel with one error.
  struct Run {
    uint64_t first = 0;  // payload numbers, 1 for the first taken
    uint64_t last = 0;
    std::string channel;
    std::string error;
  };

  std::string Where(uint64_t first, uint64_t last) const;
  void Failure(uint64_t payload, const std::string& channel, const std::string& error);
  void EndRun();

  const std::set<std::string> channels;
  const std::vector<std::string> inputs;
  const size_t max_reports;

  mutable std::mutex lock;
  std::deque<Origin> origins;  // origins[i] is that of payload number first_origin + i
  uint64_t first_origin = 1;
  uint64_t last_failure = 0;  // the plugin's number of the last failure read
  std::map<std::string, uint64_t> dropped;
  std::map<std::string, uint64_t> failed_on;
  uint64_t failed = 0;
  uint64_t unlisted = 0;
  size_t reports_made = 0;
  bool in_run = false;
  Run run;
  std::vector<std::string> reports;
};
