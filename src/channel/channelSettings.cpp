#include "channelSettings.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "tvException.h"

using json = nlohmann::json;

namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Sets `member` to the lower-case value of `key` when it is a string from
// `allowed`; raises for any other string.
void readChoice(const tvsChannelConfig& record, const json& channel, const char* key,
                std::initializer_list<const char*> allowed, std::string& member) {
  const auto it = channel.find(key);
  if (it == channel.end() || !it->is_string()) return;
  const std::string& given = it->get_ref<const std::string&>();
  const std::string value = lowerCase(given);
  for (const char* choice : allowed) {
    if (value == choice) {
      member = value;
      return;
    }
  }
  throw tvException("%s: invalid %s: %s", record.name.c_str(), key, given.c_str());
}

// Sets `member` to the integer `key` when it lies within [low, high]; raises
// for an integer outside.
template <typename Integer>
void readBounded(const tvsChannelConfig& record, const json& channel, const char* key, int64_t low,
                 int64_t high, Integer& member) {
  const auto it = channel.find(key);
  if (it == channel.end() || !it->is_number_integer()) return;
  const bool within = it->is_number_unsigned() ? it->get<uint64_t>() <= static_cast<uint64_t>(high)
                                               : it->get<int64_t>() <= high;
  if (!within || it->get<int64_t>() < low) {
    throw tvException("%s: invalid %s: %s", record.name.c_str(), key, it->dump().c_str());
  }
  member = static_cast<Integer>(it->get<int64_t>());
}

// A million MiB, a terabyte: beyond any flash a gateway has.
constexpr int64_t kMaxMegabytes = 1000000;

}  // namespace

void loadChannelSettings(tvsChannelConfig& record, const json& channel) {
  // Only modes that keep commits atomic: "memory" and "off" lose the
  // rollback journal.
  readChoice(record, channel, "journal_mode", {"delete", "truncate", "persist", "wal"},
             record.journal_mode);
  readChoice(record, channel, "synchronous", {"off", "normal", "full", "extra"},
             record.synchronous);
  readChoice(record, channel, "auto_vacuum", {"none", "incremental", "full"}, record.auto_vacuum);
  readChoice(record, channel, "schema_update", {"add_columns"}, record.schema_update);

  readBounded(record, channel, "commit_batch", 1, kMaxCommitBatch, record.commit_batch);
  readBounded(record, channel, "max_db_mb", 1, kMaxMegabytes, record.max_db_mb);
  readBounded(record, channel, "wal_limit_mb", 0, kMaxMegabytes, record.wal_limit_mb);

  const auto timeout = channel.find("busy_timeout");
  if (timeout != channel.end() && timeout->is_number_integer()) {
    if (timeout->is_number_unsigned() || timeout->get<int64_t>() >= 0) {
      // Beyond what SQLite takes; 24 days of waiting is as good as forever.
      const uint64_t ms = timeout->get<uint64_t>();
      record.busy_timeout = ms > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                                ? std::numeric_limits<int32_t>::max()
                                : static_cast<int32_t>(ms);
    } else {
      throw tvException("%s: invalid %s: %s", record.name.c_str(), "busy_timeout",
                        timeout->dump().c_str());
    }
  }
}

void seedChannelSettings(tvsChannelConfig& record, const tvsChannelConfig& defaults) {
  record.journal_mode = defaults.journal_mode;
  record.synchronous = defaults.synchronous;
  record.auto_vacuum = defaults.auto_vacuum;
  record.busy_timeout = defaults.busy_timeout;
  record.schema_update = defaults.schema_update;
  record.commit_batch = defaults.commit_batch;
  record.max_db_mb = defaults.max_db_mb;
  record.wal_limit_mb = defaults.wal_limit_mb;
}

void copyLoadedSettings(tvsChannelConfig& to, const tvsChannelConfig& from) {
  to.name = from.name;
  to.db_path = from.db_path;
  to.db_name = from.db_name;
  to.data_source = from.data_source;
  to.purge_in_days = from.purge_in_days;
  to.tables = from.tables;
  seedChannelSettings(to, from);
}
