#include "payloadOutcomes.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

PayloadOutcomes::PayloadOutcomes(std::set<std::string> channels_, std::vector<std::string> inputs_,
                                 size_t max_reports_)
    : channels(std::move(channels_)), inputs(std::move(inputs_)), max_reports(max_reports_) {}

void PayloadOutcomes::Queued(size_t input, size_t line) {
  std::lock_guard<std::mutex> guard(lock);
  origins.push_back({input, line});
}

void PayloadOutcomes::Observe(tvPluginSink& plugin, tvPluginSink::WorkerTurn turn) {
  nlohmann::json status = nlohmann::json::object();
  plugin.GetStatus(status);
  static const nlohmann::json kNone = nlohmann::json::object();
  const auto found = status.find("channels");
  const nlohmann::json& configured = found != status.end() && found->is_object() ? *found : kNone;
  const uint64_t total = status.value("failures_total", uint64_t{0});
  const uint64_t unsettled_from = status.value("unsettled_from", uint64_t{0});

  std::lock_guard<std::mutex> guard(lock);
  uint64_t read = 0;
  const auto listed = status.find("failures");
  if (listed != status.end() && listed->is_array()) {
    for (const nlohmann::json& failure : *listed) {
      const uint64_t number = failure.value("failure", uint64_t{0});
      if (number <= last_failure) continue;
      ++read;
      Failure(failure.value("payload", uint64_t{0}), failure.value("channel", std::string()),
              failure.value("error", std::string()));
    }
  }
  EndRun();
  // More failed between two looks than the status lists: counted only.
  if (total > last_failure + read) {
    failed += total - last_failure - read;
    unlisted += total - last_failure - read;
  }
  last_failure = std::max(last_failure, total);
  if (turn == tvPluginSink::WorkerTurn::kTookPayload) {
    // The payload just taken is written with the channels configured now.
    for (const std::string& channel : channels) {
      if (!configured.contains(channel)) ++dropped[channel];
    }
  }
  // Origins of payloads settled on every channel are needed no more.
  while (first_origin < unsettled_from && !origins.empty()) {
    origins.pop_front();
    ++first_origin;
  }
}

void PayloadOutcomes::Failure(uint64_t payload, const std::string& channel,
                              const std::string& error) {
  ++failed;
  ++failed_on[channel];
  if (in_run && payload == run.last + 1 && channel == run.channel && error == run.error) {
    run.last = payload;
    return;
  }
  EndRun();
  run = Run{payload, payload, channel, error};
  in_run = true;
}

void PayloadOutcomes::EndRun() {
  if (!in_run) return;
  in_run = false;
  const uint64_t count = run.last - run.first + 1;
  if (reports_made >= max_reports) {
    unlisted += count;
    return;
  }
  ++reports_made;
  if (count == 1) {
    reports.push_back(Where(run.first, run.last) + ": failed on channel " + run.channel + ": " +
                      run.error);
  } else {
    reports.push_back(Where(run.first, run.last) + ": " + std::to_string(count) +
                      " payloads failed on channel " + run.channel + ": " + run.error);
  }
}

std::string PayloadOutcomes::Where(uint64_t first, uint64_t last) const {
  const auto at = [&](uint64_t number) -> const Origin* {
    if (number < first_origin || number - first_origin >= origins.size()) return nullptr;
    return &origins[static_cast<size_t>(number - first_origin)];
  };
  const Origin* from = at(first);
  const Origin* to = at(last);
  if (from == nullptr || to == nullptr) {
    return first == last ? "payload " + std::to_string(first)
                         : "payloads " + std::to_string(first) + "-" + std::to_string(last);
  }
  const std::string& name = inputs.at(from->input);
  if (first == last) return name + ", line " + std::to_string(from->line);
  if (from->input == to->input) {
    return name + ", lines " + std::to_string(from->line) + "-" + std::to_string(to->line);
  }
  return name + ", line " + std::to_string(from->line) + " to " + inputs.at(to->input) + ", line " +
         std::to_string(to->line);
}

std::vector<std::string> PayloadOutcomes::TakeReports() {
  std::lock_guard<std::mutex> guard(lock);
  return std::exchange(reports, {});
}

uint64_t PayloadOutcomes::Failed() const {
  std::lock_guard<std::mutex> guard(lock);
  return failed;
}

std::map<std::string, uint64_t> PayloadOutcomes::FailedOn() const {
  std::lock_guard<std::mutex> guard(lock);
  return failed_on;
}

uint64_t PayloadOutcomes::Unlisted() const {
  std::lock_guard<std::mutex> guard(lock);
  return unlisted;
}

std::map<std::string, uint64_t> PayloadOutcomes::Dropped() const {
  std::lock_guard<std::mutex> guard(lock);
  return dropped;
}
