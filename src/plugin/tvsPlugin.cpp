#include "tvsPlugin.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <new>

#include <sys/stat.h>

#include "readAhead.h"
#include "storage/aggregateWriter.h"
#include "storage/channelState.h"
#include "storage/fastReader.h"
#include "storage/payloadLedger.h"
#include "tvLog.h"
#include "tvTerm.h"

namespace {

const char kLibraryName[] = "tavrin-sink-sqlite";
const char kDisplayName[] = "Tavrin SQLite Sink Plugin";
const char kVersion[] = TVS_VERSION;

uint64_t fileBytes(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// `text` as valid UTF-8: a failure line may quote a payload's bytes, and the
// status document travels as JSON text.
std::string validUtf8(const std::string& text) {
  return nlohmann::json::parse(
             nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
      .get<std::string>();
}

// Copies what the channel's running state tells into its status.
void snapshot(const tvsChannelConfig& channel, tvsChannelHealth& counts) {
  const tvsChannelState& state = *channel.state;
  counts.purges = state.purges_run;
  if (counts.last_error != state.last_error) counts.last_error = validUtf8(state.last_error);
  counts.cap_purges = state.cap_purges;
  counts.used_bytes = state.used_bytes;
  counts.held = channel.WaitingPayloads();
  counts.held_bytes = channel.WaitingBytes();
  counts.retried = state.retried;
  counts.dropped = state.dropped;
}

}  // namespace

tvsPlugin::tvsPlugin(const std::string& tag_, const std::map<std::string, std::string>& params)
    : tvPluginSink(tag_, params) {
  tv_dprintf("%s: initialized\n", tag.c_str());
}

tvsPlugin::~tvsPlugin() {
  Join();
  read_ahead.reset();
  tv_dprintf("%s: destroyed\n", tag.c_str());
}

void* tvsPlugin::Entry() {
  tv_printf("%s: %s v%s\n", tag.c_str(), kDisplayName, kVersion);
  if (terminate_requested) return nullptr;

  while (!terminate_requested) {
    // Only the first load's failure ends the worker.
    ServeReload();
    try {
      // Held payloads are tried by their deadline, checked every time
      // round: the wait below never outlasts a tenth of a second.
      RetryHeld(false);
      if (WaitOnPayloadQueue(1) == 0) continue;
      Drain();
    } catch (const std::exception& e) {
      // A channel settles what its payloads raise; this is what is left
      // around them (memory for the status), and it costs no more than it
      // took: storing goes on.
      tv_printf("%s: %s; storing goes on\n", tag.c_str(), e.what());
    }
  }
  RetryHeld(true);
  return nullptr;
}

void tvsPlugin::Drain() {
  // Whatever leaves the drain, batches are committed and counted first.
  struct CommitOnExit {
    tvsPlugin& plugin;
    ~CommitOnExit() {
      try {
        plugin.CommitBatches();
      } catch (const std::exception&) {
        // The drain is leaving by an exception already; that one is reported.
      }
    }
  } commit_on_exit{*this};
  std::shared_ptr<tvPluginSinkPayload> payload;
  for (;;) {
    // Only what is queued now: a batch never waits for payloads to come.
    const size_t most = static_cast<size_t>(LargestBatch());
    size_t group = 0;
    if (ReadsAhead()) {
      group = WriteReadingAhead(std::max(most, kReadAheadGroup));
    } else {
      uint64_t number = 0;
      while (group < most && TakePayload(payload, number)) {
        WritePayload(payload, number);
        ++group;
      }
      payload.reset();
    }
    if (group == 0) return;
    CommitBatches();
    // Between payloads too, with every transaction committed: under a steady
    // stream the queue never empties.
    ServeReload();
    RetryHeld(false);
  }
}

void tvsPlugin::ServeReload() {
  // Taken before the reload, so that a request arriving while it runs (the
  // file changed again) is served by one more.
  if (!reload_requested.exchange(false)) return;
  // The first load's failure ends the worker; a later one keeps the running
  // channels.
  if (!loaded) {
    Reload();
    loaded = true;
    ResetStatus();
  } else if (ReloadKeepingChannels()) {
    ResetStatus();
  }
}

void tvsPlugin::GetLibrary(std::string& library) { library = kLibraryName; }
void tvsPlugin::GetName(std::string& display_name) { display_name = kDisplayName; }
void tvsPlugin::GetVersion(std::string& version) { version = kVersion; }

void tvsPlugin::GetStatus(nlohmann::json& status) {
  nlohmann::json per_channel = nlohmann::json::object();
  std::map<std::string, std::string> files;
  {
    std::lock_guard<std::mutex> guard(status_lock);
    status["entries"] = rows_added;
    if (reload_failures > 0) {
      status["reload_failures"] = reload_failures;
      status["last_reload_error"] = last_reload_error;
    }
    for (const auto& [channel_name, counts] : health) {
      per_channel[channel_name] = {
          {"payloads", counts.payloads},
          {"rows", counts.rows},
          {"failed", counts.failed},
          {"empty", counts.empty},
          {"purges", counts.purges},
          {"last_error",
           counts.last_error.empty() ? nlohmann::json() : nlohmann::json(counts.last_error)}};
      if (counts.capped) {
        per_channel[channel_name]["cap_purges"] = counts.cap_purges;
        per_channel[channel_name]["db_used_bytes"] = counts.used_bytes;
      }
      if (counts.retrying) {
        per_channel[channel_name]["held"] = counts.held;
        per_channel[channel_name]["held_bytes"] = counts.held_bytes;
        per_channel[channel_name]["retried"] = counts.retried;
        per_channel[channel_name]["dropped"] = counts.dropped;
      }
      files[channel_name] = counts.db_file;
    }
    nlohmann::json listed = nlohmann::json::array();
    for (const tvsPayloadFailure& failure : failures) {
      listed.push_back({{"failure", failure.failure},
                        {"payload", failure.payload},
                        {"channel", failure.channel},
                        {"error", failure.error}});
    }
    status["failures"] = std::move(listed);
    status["failures_total"] = failures_total;
    status["unsettled_from"] = unsettled_from;
  }
  // Sizes are read here, on the agent's thread and outside the lock, rather
  // than after every payload on the worker's.
  for (const auto& [channel_name, file] : files)
    per_channel[channel_name]["db_bytes"] = fileBytes(file);
  status["channels"] = std::move(per_channel);
}

void tvsPlugin::DisplayStatus(const nlohmann::json& status) {
  if (!status.is_object()) return;
  const auto entries = status.find("entries");
  if (entries == status.end() || !entries->is_number_unsigned()) return;
  std::fprintf(stdout, "%s rows added: %u\n", tvTerm::Icon::INFO, entries->get<uint32_t>());
}

void tvsPlugin::DispatchEvent(Event event, void* /*argument*/) {
  if (event == EVENT_RELOAD) reload_requested = true;
}

void tvsPlugin::WritePayload(const std::shared_ptr<tvPluginSinkPayload>& payload, uint64_t number) {
  for (const std::string& channel_name : payload->channel_names) {
    const auto it = channels.find(channel_name);
    if (it == channels.end()) {
      tv_dprintf("%s: channel not found: %s\n", tag.c_str(), channel_name.c_str());
      continue;
    }
    tvsChannelConfig& channel = *it->second;
    // The channel's own copy, made so that the fast reader reads it in place.
    std::string text;
    try {
      text = readableCopy(payload->data, static_cast<size_t>(payload->data_length));
    } catch (const std::bad_alloc&) {
      const std::string line = channel_name + ": payload not stored: out of memory";
      tv_dprintf("%s\n", line.c_str());
      channel.TakeFailed(number, tvsOutcome::Failure(SQLITE_NOMEM, line));
      Account(channel_name, channel);
      continue;
    }
    WriteTo(channel_name, channel, text, nullptr, number);
  }
  Handed(number);
}

void tvsPlugin::WriteTo(const std::string& channel_name, tvsChannelConfig& channel,
                        const std::string& text, const tvsAggregatePayload* read, uint64_t number) {
  // A batch holds its file's write lock until it commits: another
  // channel's batch on the same file commits before this one writes.
  for (const auto& [other_name, other] : channels) {
    if (other.get() != &channel && other->Pending() && other->SharesFileWith(channel)) {
      CommitBatch(other_name, *other);
    }
  }
  channel.TakePayload(number, text, read);
  Account(channel_name, channel);
}

bool tvsPlugin::TakePayload(std::shared_ptr<tvPluginSinkPayload>& payload, uint64_t& number) {
  if (!PopPayloadQueue(payload)) return false;
  number = ++taken;
  return true;
}

bool tvsPlugin::ReadsAhead() const {
  for (const auto& entry : channels) {
    if (entry.second->settings.read_ahead) return true;
  }
  return false;
}

tvsChannelConfig* tvsPlugin::ReadAheadChannel(const tvPluginSinkPayload& payload) const {
  if (payload.channel_names.size() != 1) return nullptr;
  const auto it = channels.find(*payload.channel_names.begin());
  if (it == channels.end()) return nullptr;
  tvsChannelConfig& channel = *it->second;
  // A channel that holds payloads queues new ones unread.
  const bool reads =
      channel.settings.read_ahead && channel.IsAggregator() && channel.WaitingPayloads() == 0;
  return reads ? &channel : nullptr;
}

size_t tvsPlugin::WriteReadingAhead(size_t most) {
  if (!read_ahead) read_ahead = std::make_unique<tvsReadAhead>();
  std::shared_ptr<tvPluginSinkPayload> current, next;
  uint64_t current_number = 0, next_number = 0;
  // Should a write throw, the read of `next` ends before its text goes.
  struct FinishOnExit {
    tvsReadAhead& reader;
    ~FinishOnExit() { reader.Finish(); }
  } finish_on_exit{*read_ahead};
  if (!TakePayload(current, current_number)) return 0;
  size_t group = 1;
  // The channel the payload was handed to the reader for, if it was.
  tvsChannelConfig* current_read = nullptr;
  tvsChannelConfig* next_read = nullptr;
  // The worker reads the first payload itself, while the second is read.
  // Each payload is taken from the queue just before the one ahead of it is
  // written; none is taken past the last of the group, so a reload between
  // groups finds nothing taken and unwritten.
  while (current) {
    tvsReadAhead::Read* read = current_read ? &read_ahead->Finish() : nullptr;
    next.reset();
    next_read = nullptr;
    if (group < most && TakePayload(next, next_number)) {
      ++group;
      next_read = ReadAheadChannel(*next);
      if (next_read) {
        read_ahead->Start(next->data, static_cast<size_t>(next->data_length),
                          next_read->state->writer->Plan());
      }
    }
    if (read && read->copied) {
      WriteTo(current_read->name, *current_read, read->text, read->read ? &read->payload : nullptr,
              current_number);
      Handed(current_number);
    } else {
      WritePayload(current, current_number);
    }
    current = std::move(next);
    current_number = next_number;
    current_read = next_read;
  }
  return group;
}

void tvsPlugin::RetryHeld(bool last_try) {
  for (const auto& [channel_name, channel] : channels) {
    if (channel->WaitingPayloads() == 0 && !channel->InDoubt()) continue;
    channel->RetryHeld(last_try);
    Account(channel_name, *channel);
  }
}

int32_t tvsPlugin::LargestBatch() const {
  int32_t largest = 1;
  for (const auto& entry : channels) {
    largest = std::max(largest, static_cast<int32_t>(entry.second->settings.commit_batch));
  }
  return largest;
}

void tvsPlugin::CommitBatches() {
  for (const auto& [channel_name, channel] : channels) {
    if (channel->Pending()) CommitBatch(channel_name, *channel);
  }
}

void tvsPlugin::CommitBatch(const std::string& channel_name, tvsChannelConfig& channel) {
  channel.CommitBatch();
  Account(channel_name, channel);
}

uint64_t tvsPlugin::OldestUnsettled() const {
  // A payload taken and not yet handed to every channel is unsettled too.
  uint64_t oldest = handed + 1;
  for (const auto& entry : channels) {
    const uint64_t unsettled = entry.second->OldestUnsettled();
    if (unsettled != 0) oldest = std::min(oldest, unsettled);
  }
  return oldest;
}

void tvsPlugin::Handed(uint64_t number) {
  handed = number;
  const uint64_t oldest = OldestUnsettled();
  std::lock_guard<std::mutex> guard(status_lock);
  unsettled_from = oldest;
}

void tvsPlugin::Account(const std::string& channel_name, tvsChannelConfig& channel) {
  // Reused: most calls settle one payload or none.
  thread_local std::vector<tvsPayloadLedger::Settled> settled;
  settled.clear();
  channel.TakeSettled(settled);
  const uint64_t oldest = OldestUnsettled();
  std::lock_guard<std::mutex> guard(status_lock);
  tvsChannelHealth& counts = health[channel_name];
  for (auto& [number, outcome] : settled) {
    ++counts.payloads;
    const int rows = outcome.rows;
    if (rows > 0) {
      // Saturates: the count only grows and must never wrap.
      rows_added = rows > kMaxRowsAdded - rows_added ? kMaxRowsAdded : rows_added + rows;
      counts.rows += static_cast<uint64_t>(rows);
    } else if (rows == 0) {
      ++counts.empty;
    } else {
      ++counts.failed;
      failures.push_back({++failures_total, number, channel_name, validUtf8(outcome.message)});
      if (failures.size() > kRecentFailures) failures.pop_front();
    }
  }
  unsettled_from = oldest;
  snapshot(channel, counts);
}

void tvsPlugin::ResetStatus() {
  std::map<std::string, tvsChannelHealth> fresh;
  for (const auto& [channel_name, channel] : channels) {
    tvsChannelHealth& counts = fresh[channel_name];
    snapshot(*channel, counts);
    counts.capped = channel->settings.max_db_mb > 0;
    counts.retrying = channel->settings.retry_mb > 0;
    counts.db_file = channel->FilePath();
  }
  // Held payloads have changed records: counted over the new ones.
  const uint64_t oldest = OldestUnsettled();
  std::lock_guard<std::mutex> guard(status_lock);
  rows_added = 0;
  health = std::move(fresh);
  unsettled_from = oldest;
}
