// Configuration loading: rebuilds the plugin's channels from its file.
#include <fstream>
#include <map>
#include <sstream>

#include "channelSettings.h"
#include "jsonParse.h"
#include "tvException.h"
#include "tvLog.h"
#include "tvsPlugin.h"

using json = nlohmann::json;

namespace {

// Holds the plugin thread's lock until the end of the scope, exceptions
// included.
class ThreadLockGuard {
 public:
  explicit ThreadLockGuard(tvThread& thread) : locked(thread) { locked.Lock(); }
  ~ThreadLockGuard() { locked.Unlock(); }
  ThreadLockGuard(const ThreadLockGuard&) = delete;
  ThreadLockGuard& operator=(const ThreadLockGuard&) = delete;

 private:
  tvThread& locked;
};

// The keys a channel object, or the top level, is read for.
const char* const kSharedKeys[] = {"db_path",      "purge_in_days", "db_name",     "data_source",
                                   "tables",       "journal_mode",  "synchronous", "auto_vacuum",
                                   "busy_timeout", "schema_update", "commit_batch",
                                   "max_db_mb",    "wal_limit_mb"};

// One operator line per key that nothing reads: a typo such as "data_sorce"
// would otherwise pass in silence.
void warnUnknownKeys(const std::string& tag, const std::string& where, const json& object,
                     const char* own_key) {
  if (!object.is_object()) return;
  for (const auto& member : object.items()) {
    const std::string& key = member.key();
    bool known = key == own_key;
    for (const char* shared : kSharedKeys) known = known || key == shared;
    if (!known)
      tv_printf("%s: %s: unknown key \"%s\" ignored\n", tag.c_str(), where.c_str(), key.c_str());
  }
}

}  // namespace

json tvsPlugin::ReadConfiguration() const {
  tv_dprintf("%s: Loading configuration: %s\n", tag.c_str(), config_path.c_str());

  std::ifstream file(config_path);
  if (!file.is_open()) {
    throw tvException("%s: error opening configuration: %s", tag.c_str(), config_path.c_str());
  }
  try {
    std::ostringstream text;
    text << file.rdbuf();
    return parseJsonDocument(text.str());
  } catch (const json::exception& e) {
    throw tvException("%s: error loading configuration: %s: %s", tag.c_str(), config_path.c_str(),
                      e.what());
  } catch (const std::exception& e) {
    throw tvException("%s: error loading configuration: %s: JSON exception: %s", tag.c_str(),
                      config_path.c_str(), e.what());
  }
}

void tvsPlugin::LoadDefaults(tvsChannelConfig& into, const json& document) const {
  warnUnknownKeys(tag, "top level", document, "channels");
  into.Load("defaults", document);
  if (!into.db_path.empty() && tv_file_exists(into.db_path) != 1) {
    throw tvException("%s: database path doesn't exist: %s", tag.c_str(), into.db_path.c_str());
  }
}

void tvsPlugin::BuildChannels(const json& document, const tvsChannelConfig& seed,
                              ChannelMap& into) const {
  if (!document.is_object() || !document.contains("channels")) return;
  const auto configured = document.at("channels").get<std::map<std::string, json>>();
  for (const auto& [channel_name, channel] : configured) {
    // Only a boolean false disables a channel.
    const auto enable = channel.find("enable");
    if (enable != channel.end() && enable->is_boolean() && !enable->get<bool>()) continue;
    warnUnknownKeys(tag, "channel " + channel_name, channel, "enable");
    auto record = std::make_shared<tvsChannelConfig>();
    record->db_path = seed.db_path;
    record->purge_in_days = seed.purge_in_days;
    seedChannelSettings(*record, seed);
    record->Load(channel_name, channel);
    if (record->db_name.empty()) {
      throw tvException("%s: required parameter missing: %s", tag.c_str(), "db_name");
    }
    into.emplace(channel_name, std::move(record));
  }
}

void tvsPlugin::Reload() {
  const json document = ReadConfiguration();
  ThreadLockGuard lock(*this);

  // Loaded in place, never reset: a key removed from the file keeps the value
  // of the previous load.
  LoadDefaults(defaults, document);
  // Every old record closes its database before a new one is built.
  channels.clear();
  BuildChannels(document, defaults, channels);
  // No database is opened before every channel has been built.
  for (auto& entry : channels) entry.second->InitDatabase();
}

bool tvsPlugin::ReloadKeepingChannels() {
  try {
    const json document = ReadConfiguration();
    ThreadLockGuard lock(*this);

    tvsChannelConfig next_defaults;
    copyLoadedSettings(next_defaults, defaults);
    LoadDefaults(next_defaults, document);
    ChannelMap next;
    BuildChannels(document, next_defaults, next);

    // One connection per file at a time: a journal mode can only be left by
    // the file's sole connection. The running records stay, with their
    // databases closed, until every new one has opened.
    for (auto& entry : channels) entry.second->CloseDatabase();
    try {
      for (auto& entry : next) entry.second->InitDatabase();
    } catch (...) {
      next.clear();
      // Reopened as at start-up; a channel that cannot be reopened now tries
      // again with its next payload.
      for (auto& entry : channels) {
        try {
          entry.second->InitDatabase();
        } catch (const std::exception& e) {
          entry.second->reopen_pending = true;
          tv_printf("%s: %s\n", tag.c_str(), e.what());
        }
      }
      throw;
    }
    copyLoadedSettings(defaults, next_defaults);
    channels.swap(next);
    return true;
  } catch (const std::exception& e) {
    tv_printf("%s: reload failed, keeping the running configuration: %s\n", tag.c_str(), e.what());
    std::lock_guard<std::mutex> guard(status_lock);
    ++reload_failures;
    last_reload_error = e.what();
    return false;
  }
}
