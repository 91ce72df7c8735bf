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

}  // namespace

void tvsPlugin::Reload() {
  tv_dprintf("%s: Loading configuration: %s\n", tag.c_str(), config_path.c_str());

  std::ifstream file(config_path);
  if (!file.is_open()) {
    throw tvException("%s: error opening configuration: %s", tag.c_str(), config_path.c_str());
  }

  json document;
  try {
    std::ostringstream text;
    text << file.rdbuf();
    document = parseJsonDocument(text.str());
  } catch (const json::exception& e) {
    throw tvException("%s: error loading configuration: %s: %s", tag.c_str(), config_path.c_str(),
                      e.what());
  } catch (const std::exception& e) {
    throw tvException("%s: error loading configuration: %s: JSON exception: %s", tag.c_str(),
                      config_path.c_str(), e.what());
  }

  ThreadLockGuard lock(*this);

  // Loaded in place, never reset: a key removed from the file keeps the value
  // of the previous load.
  defaults.Load("defaults", document);
  if (!defaults.db_path.empty() && tv_file_exists(defaults.db_path) != 1) {
    throw tvException("%s: database path doesn't exist: %s", tag.c_str(), defaults.db_path.c_str());
  }

  // Every old record closes its database before a new one is built.
  channels.clear();

  if (document.is_object() && document.contains("channels")) {
    const auto configured = document.at("channels").get<std::map<std::string, json>>();
    for (const auto& [channel_name, channel] : configured) {
      // Only a boolean false disables a channel.
      const auto enable = channel.find("enable");
      if (enable != channel.end() && enable->is_boolean() && !enable->get<bool>()) continue;
      auto record = std::make_shared<tvsChannelConfig>();
      record->db_path = defaults.db_path;
      record->purge_in_days = defaults.purge_in_days;
      seedChannelSettings(*record, defaults);
      record->Load(channel_name, channel);
      if (record->db_name.empty()) {
        throw tvException("%s: required parameter missing: %s", tag.c_str(), "db_name");
      }
      channels.emplace(channel_name, std::move(record));
    }
  }

  // No database is opened before every channel has been built.
  for (auto& entry : channels) entry.second->InitDatabase();
}
