// Configuration loading: rebuilds the plugin's channels from its file.
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "channel/channelSettings.h"
#include "channel/rollupSpec.h"
#include "storage/aggregateWriter.h"
#include "storage/channelState.h"
#include "storage/jsonParse.h"
#include "storage/openDatabase.h"
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

// The keys of a table schema, a column schema and a foreign key.
const char* const kTableKeys[] = {"name", "columns"};
const char* const kColumnKeys[] = {"name",          "type",     "primary_key",
                                   "autoincrement", "not_null", "default",
                                   "foreign_key",   "mapped",   "split"};
const char* const kForeignKeyKeys[] = {"table", "column", "on_delete"};

// One operator line per key of `object` that nothing reads: a typo such as
// "data_sorce" or "not_nul" would otherwise pass in silence.
template <typename Known>
void warnUnknownKeys(const std::string& tag, const std::string& where, const json& object,
                     Known known) {
  if (!object.is_object()) return;
  for (const auto& member : object.items()) {
    const std::string& key = member.key();
    if (!known(key))
      tv_printf("%s: %s: unknown key \"%s\" ignored\n", tag.c_str(), where.c_str(), key.c_str());
  }
}

// A key of `keys`.
template <size_t N>
auto listed(const char* const (&keys)[N]) {
  return [&keys](const std::string& key) {
    for (const char* name : keys) {
      if (key == name) return true;
    }
    return false;
  };
}

// How a schema is named in a warning: by its "name" (a rollup by its
// "table"), else by its position.
std::string schemaName(const char* kind, const json& schema, size_t index) {
  auto name = schema.find("name");
  if (name == schema.end()) name = schema.find("table");
  if (name != schema.end() && name->is_string())
    return std::string(kind) + " " + name->get<std::string>();
  return std::string(kind) + " #" + std::to_string(index + 1);
}

// Calls `visit` with every object of the array `member` of `parent`, and
// where it is: `where`, then the schema's `kind` and name.
template <typename Visit>
void forEachSchema(const json& parent, const char* member, const char* kind,
                   const std::string& where, Visit visit) {
  if (!parent.is_object()) return;
  const auto schemas = parent.find(member);
  if (schemas == parent.end() || !schemas->is_array()) return;
  for (size_t i = 0; i < schemas->size(); ++i) {
    const json& schema = (*schemas)[i];
    if (schema.is_object()) visit(schema, where + " " + schemaName(kind, schema, i));
  }
}

// The keys of `object` (the top level or a channel) and of its table schemas.
void warnUnknownSettings(const std::string& tag, const std::string& where, const json& object,
                         const char* own_key) {
  warnUnknownKeys(tag, where, object, [own_key](const std::string& key) {
    return key == own_key || isChannelSettingKey(key);
  });
  forEachSchema(object, kTablesKey, "table", where,
                [&](const json& table, const std::string& in_table) {
                  warnUnknownKeys(tag, in_table, table, listed(kTableKeys));
                  forEachSchema(table, "columns", "column", in_table,
                                [&](const json& column, const std::string& in_column) {
                                  warnUnknownKeys(tag, in_column, column, listed(kColumnKeys));
                                  const auto foreign = column.find("foreign_key");
                                  if (foreign != column.end()) {
                                    warnUnknownKeys(tag, in_column + " foreign_key", *foreign,
                                                    listed(kForeignKeyKeys));
                                  }
                                });
                });
  forEachSchema(object, kRollupsKey, "rollup", where,
                [&](const json& rollup, const std::string& in_rollup) {
                  warnUnknownKeys(tag, in_rollup, rollup, listed(kRollupKeys));
                });
}

// One operator line per directory of the loaded channels that others may
// write: a database file or link there that this user does not own is
// refused, and the files SQLite makes there later are exposed to them too.
void warnSharedDirectories(const std::string& tag, const tvsPlugin::ChannelMap& channels) {
  std::set<std::string> seen;
  for (const auto& entry : channels) {
    const std::string directory = parentDirectory(entry.second->FilePath());
    mode_t mode = 0;
    if (!seen.insert(directory).second || !othersMayWrite(directory, &mode)) continue;
    tv_printf(
        "%s: database directory %s may be written by other users (mode %04o): a database file "
        "or symbolic link there that this user does not own is refused; keep the databases in a "
        "directory only this user may write\n",
        tag.c_str(), directory.c_str(), static_cast<unsigned>(mode & 07777));
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
  warnUnknownSettings(tag, "top level", document, "channels");
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
    warnUnknownSettings(tag, "channel " + channel_name, channel, "enable");
    auto record = std::make_shared<tvsChannelConfig>();
    seedChannelSettings(*record, seed);
    record->Load(channel_name, channel);
    if (const char* missing = missingChannelSetting(*record)) {
      throw tvException("%s: required parameter missing: %s", tag.c_str(), missing);
    }
    into.emplace(channel_name, std::move(record));
  }
  // Channels that share a file each fill their rollups from their own rows:
  // one table for two would sum the rows of both, and be filled from one.
  std::map<std::pair<std::string, std::string>, std::string> rollup_tables;
  for (const auto& [channel_name, record] : into) {
    for (const auto& writer : record->state->writer->Rollups()) {
      const auto [other, added] = rollup_tables.emplace(
          std::make_pair(record->FilePath(), writer->Spec().Key()), channel_name);
      if (!added) {
        throw tvException("%s: rollup %s: channel %s has a rollup of that table in the same file",
                          channel_name.c_str(), writer->Spec().table.c_str(),
                          other->second.c_str());
      }
    }
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
  warnSharedDirectories(tag, channels);
  // No database is opened before every channel has been built.
  for (auto& entry : channels) entry.second->InitDatabase();
}

void tvsPlugin::HandOverHeld(ChannelMap& next) {
  for (const auto& [channel_name, channel] : channels) {
    if (channel->WaitingPayloads() == 0 && !channel->InDoubt()) continue;
    const auto successor = next.find(channel_name);
    if (successor != next.end()) {
      channel->LetGoOfInDoubt(successor->second->FilePath());
      // What has settled is reported with the channel's last counters.
      Account(channel_name, *channel);
      successor->second->TakeWaitingFrom(*channel);
      continue;
    }
    // They fail, and are counted and reported with the channel's last
    // counters, before a new count starts.
    const size_t dropped = channel->DropWaiting(
        channel_name + ": held payload dropped: the channel is no longer configured");
    tv_printf("%s: %s: %zu held payloads dropped: the channel is no longer configured\n",
              tag.c_str(), channel_name.c_str(), dropped);
    Account(channel_name, *channel);
  }
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
    warnSharedDirectories(tag, next);

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
          entry.second->state->reopen_pending = true;
          tv_printf("%s: %s\n", tag.c_str(), e.what());
        }
      }
      throw;
    }
    copyLoadedSettings(defaults, next_defaults);
    HandOverHeld(next);
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
