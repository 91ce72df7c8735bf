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

  std::lock_guard<std::mutex> guard(lock);
  if (loading) {
    // A load resets the counters of the channels it keeps; a failed reload
    // leaves them as they were. Nothing is counted between the load and the
    // next turn, so any change means they started again from zero.
    for (auto it = seen.begin(); it != seen.end();) {
      it = configured.contains(it->first) ? std::next(it) : seen.erase(it);
    }
    for (const auto& channel : configured.items()) {
      const auto it = seen.find(channel.key());
      const uint64_t payloads = channel.value().value("payloads", uint64_t{0});
      const uint64_t failures = channel.value().value("failed", uint64_t{0});
      if (it == seen.end() || it->second.payloads != payloads || it->second.failed != failures)
        seen[channel.key()] = Seen{0, 0, taken_at_load};
    }
    loading = false;
  }
  for (const auto& channel : configured.items()) {
    const auto it = seen.find(channel.key());
    if (it == seen.end()) continue;  // appeared without a load: nothing to settle against
    Seen& before = it->second;
    const uint64_t payloads = channel.value().value("payloads", uint64_t{0});
    const uint64_t failures = channel.value().value("failed", uint64_t{0});
    if (payloads < before.payloads || failures < before.failed) continue;
    const uint64_t settled = payloads - before.payloads, new_failures = failures - before.failed;
    if (new_failures > 0) {
      const auto error = channel.value().find("last_error");
      Report(channel.key(), before.next, settled, new_failures,
             error != channel.value().end() && error->is_string() ? error->get<std::string>() : "");
    }
    failed += new_failures;
    before = Seen{payloads, failures, before.next + settled};
  }
  if (turn == tvPluginSink::WorkerTurn::kTookPayload) {
    // The payload just taken is written with the channels configured now.
    for (const std::string& channel : channels) {
      if (!configured.contains(channel)) ++dropped[channel];
    }
    ++taken;
  } else if (turn == tvPluginSink::WorkerTurn::kLoading) {
    loading = true;
    taken_at_load = taken;
  }
  // Origins every channel has settled are needed no more.
  uint64_t needed = taken;
  for (const auto& entry : seen) needed = std::min(needed, entry.second.next);
  while (first_origin < needed && !origins.empty()) {
    origins.pop_front();
    ++first_origin;
  }
}

std::string PayloadOutcomes::Where(uint64_t first, uint64_t count) const {
  const auto at = [&](uint64_t number) -> const Origin* {
    if (number < first_origin || number - first_origin >= origins.size()) return nullptr;
    return &origins[static_cast<size_t>(number - first_origin)];
  };
  const Origin* from = at(first);
  const Origin* to = at(first + count - 1);
  if (from == nullptr || to == nullptr) return "payload " + std::to_string(first + 1);
  const std::string& name = inputs.at(from->input);
  if (count == 1) return name + ", line " + std::to_string(from->line);
  if (from->input == to->input) {
    return name + ", lines " + std::to_string(from->line) + "-" + std::to_string(to->line);
  }
  return name + ", line " + std::to_string(from->line) + " to " + inputs.at(to->input) + ", line " +
         std::to_string(to->line);
}

void PayloadOutcomes::Report(const std::string& channel, uint64_t first, uint64_t count,
                             uint64_t failures, const std::string& error) {
  if (reports_made >= max_reports || count == 0) {
    unlisted += failures;
    return;
  }
  ++reports_made;
  // Payloads committed together settle together: their lines are given as a
  // range when only some of them failed.
  if (count == 1) {
    reports.push_back(Where(first, 1) + ": failed on channel " + channel + ": " + error);
  } else {
    reports.push_back(Where(first, count) + ": " + std::to_string(failures) + " of " +
                      std::to_string(count) + " payloads failed on channel " + channel +
                      "; the last: " + error);
  }
}

std::vector<std::string> PayloadOutcomes::TakeReports() {
  std::lock_guard<std::mutex> guard(lock);
  return std::exchange(reports, {});
}

uint64_t PayloadOutcomes::Failed() const {
  std::lock_guard<std::mutex> guard(lock);
  return failed;
}

uint64_t PayloadOutcomes::Unlisted() const {
  std::lock_guard<std::mutex> guard(lock);
  return unlisted;
}

std::map<std::string, uint64_t> PayloadOutcomes::Dropped() const {
  std::lock_guard<std::mutex> guard(lock);
  return dropped;
}
