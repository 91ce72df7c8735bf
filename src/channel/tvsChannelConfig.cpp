#include "tvsChannelConfig.h"

#include <limits>

#include <sqlite3.h>

#include "channelSettings.h"
#include "tvException.h"
#include "tvGlobalConfig.h"
#include "tvLog.h"

using json = nlohmann::json;

void tvsSqliteClose::operator()(sqlite3* connection) const noexcept { sqlite3_close(connection); }

namespace {

// An integer outside the 32-bit range is clamped rather than cut to its low
// bits: 2^32 + 1 days must not turn into a one-day retention.
int32_t clampToInt32(const json& value) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  if (value.is_number_unsigned()) {
    const uint64_t number = value.get<uint64_t>();
    return number > static_cast<uint64_t>(kMax) ? kMax : static_cast<int32_t>(number);
  }
  const int64_t number = value.get<int64_t>();
  if (number > kMax) return kMax;
  if (number < kMin) return kMin;
  return static_cast<int32_t>(number);
}

// The member `key` of `object` when it has the JSON type that `accept` tests;
// null otherwise, also when `object` is not an object.
template <typename Test>
const json* memberOfType(const json& object, const char* key, Test accept) {
  const auto it = object.find(key);
  if (it == object.end() || !accept(*it)) return nullptr;
  return &*it;
}

// SQLite takes file names as C strings: a zero byte would silently open a
// shorter name than the one configured.
void refuseZeroInName(const std::string& channel, const char* key, const std::string& value) {
  if (value.find('\0') != std::string::npos) {
    throw tvException("%s: invalid %s: holds a zero byte", channel.c_str(), key);
  }
}

}  // namespace

void tvsChannelConfig::Load(const std::string& channel_name, const json& channel) {
  name = channel_name;

  if (const json* days = memberOfType(channel, "purge_in_days",
                                      [](const json& v) { return v.is_number_integer(); })) {
    purge_in_days = clampToInt32(*days);
  }

  if (const json* path =
          memberOfType(channel, "db_path", [](const json& v) { return v.is_string(); })) {
    const std::string configured = path->get<std::string>();
    tvGlobalConfig* global = tvGlobalConfig::instance;
    if (global == nullptr) {
      throw tvException("%s: instance not found",
                        "static tvGlobalConfig &tvGlobalConfig::GetInstance()");
    }
    tv_expand_variables(configured, db_path, global->variables);
    refuseZeroInName(name, "db_path", db_path);
  }

  const auto isString = [](const json& v) { return v.is_string(); };
  if (const json* file = memberOfType(channel, "db_name", isString)) {
    db_name = file->get<std::string>();
    refuseZeroInName(name, "db_name", db_name);
  }
  if (const json* source = memberOfType(channel, "data_source", isString)) {
    data_source = source->get<std::string>();
  }
  if (const json* schemas =
          memberOfType(channel, "tables", [](const json& v) { return v.is_array(); })) {
    tables = *schemas;
  }
  loadChannelSettings(*this, channel);

  AddDefaultColumns();
}
