#include "channelSettings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <type_traits>
#include <variant>

#include "rollupSpec.h"
#include "tvException.h"
#include "tvGlobalConfig.h"
#include "tvLog.h"

using json = nlohmann::json;

namespace {

// How a key's value is read.
enum class Type {
  kDays,         // an integer, clamped to 32 bits
  kPath,         // a folder, host variables expanded
  kFileName,     // a file name
  kText,         // any string
  kSchemas,      // an array of table schemas
  kChoice,       // one string of `choices`, any case
  kInteger,      // an integer within [low, high]; above, refused or `saturate`d
  kFlag,         // a boolean
  kFileMode,     // an octal string of permission bits; any other JSON type is refused
  kDefinitions,  // any JSON value, checked where it is used
};

// Where a key's value lives: a member of the record or of its settings.
using Field = std::variant<int32_t tvsChannelConfig::*, std::string tvsChannelConfig::*,
                           json tvsChannelConfig::*, std::string tvsChannelSettings::*,
                           int64_t tvsChannelSettings::*, bool tvsChannelSettings::*,
                           json tvsChannelSettings::*>;

struct Key {
  const char* key;
  Type type;
  Field field;
  bool seeded = true;     // the top level's value is every channel's default
  bool required = false;  // a channel without it is refused
  std::array<const char*, 4> choices{};
  int64_t low = 0;
  int64_t high = 0;
  bool saturate = false;
  const char* text_default = "";
  int64_t number_default = 0;
};

Key recordKey(const char* key, Type type, Field field, bool seeded, bool required = false) {
  Key row{key, type, field};
  row.seeded = seeded;
  row.required = required;
  return row;
}

Key choiceKey(const char* key, std::string tvsChannelSettings::*member,
              std::array<const char*, 4> choices) {
  Key row{key, Type::kChoice, member};
  row.choices = choices;
  return row;
}

Key integerKey(const char* key, int64_t tvsChannelSettings::*member, int64_t low, int64_t high,
               int64_t default_value, bool saturate = false) {
  Key row{key, Type::kInteger, member};
  row.low = low;
  row.high = high;
  row.number_default = default_value;
  row.saturate = saturate;
  return row;
}

Key flagKey(const char* key, bool tvsChannelSettings::*member) {
  return Key{key, Type::kFlag, member};
}

Key fileModeKey(const char* key, int64_t tvsChannelSettings::*member, int64_t default_mode) {
  Key row{key, Type::kFileMode, member};
  row.number_default = default_mode;
  return row;
}

// The most payloads one backlog transaction takes.
constexpr int64_t kMaxCommitBatch = 1024;
// A million MiB, a terabyte: beyond any flash a gateway has.
constexpr int64_t kMaxMegabytes = 1000000;
constexpr int64_t kSecondsPerDay = 86400;
// Beyond what SQLite takes; 24 days of waiting is as good as forever.
constexpr int64_t kMaxBusyTimeout = std::numeric_limits<int32_t>::max();

// In the order they are read: the first invalid one is the one reported.
const Key kKeys[] = {
    recordKey("purge_in_days", Type::kDays, &tvsChannelConfig::purge_in_days, true),
    recordKey("db_path", Type::kPath, &tvsChannelConfig::db_path, true),
    recordKey("db_name", Type::kFileName, &tvsChannelConfig::db_name, false, true),
    recordKey("data_source", Type::kText, &tvsChannelConfig::data_source, false),
    recordKey(kTablesKey, Type::kSchemas, &tvsChannelConfig::tables, false),
    // Only modes that keep commits atomic: "memory" and "off" lose the
    // rollback journal.
    choiceKey("journal_mode", &tvsChannelSettings::journal_mode,
              {"delete", "truncate", "persist", "wal"}),
    choiceKey("synchronous", &tvsChannelSettings::synchronous, {"off", "normal", "full", "extra"}),
    choiceKey("auto_vacuum", &tvsChannelSettings::auto_vacuum, {"none", "incremental", "full"}),
    choiceKey("schema_update", &tvsChannelSettings::schema_update, {"add_columns"}),
    integerKey("commit_batch", &tvsChannelSettings::commit_batch, 1, kMaxCommitBatch, 1),
    integerKey("max_db_mb", &tvsChannelSettings::max_db_mb, 1, kMaxMegabytes, 0),
    integerKey("wal_limit_mb", &tvsChannelSettings::wal_limit_mb, 0, kMaxMegabytes, -1),
    integerKey("busy_timeout", &tvsChannelSettings::busy_timeout, 0, kMaxBusyTimeout, -1, true),
    integerKey("retry_mb", &tvsChannelSettings::retry_mb, 1, kMaxMegabytes, 0),
    integerKey("retry_max_s", &tvsChannelSettings::retry_max_s, 1, kSecondsPerDay, 30),
    flagKey("read_ahead", &tvsChannelSettings::read_ahead),
    // A channel's own: its rollups name its table's columns.
    Key{kRollupsKey, Type::kDefinitions, &tvsChannelSettings::rollups, false},
    // Owner read-write, group read: flow records are personal data.
    fileModeKey("file_mode", &tvsChannelSettings::file_mode, 0640),
};

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

[[noreturn]] void refuse(const tvsChannelConfig& record, const Key& row, const std::string& value) {
  throw tvException("%s: invalid %s: %s", record.name.c_str(), row.key, value.c_str());
}

// A file mode: three octal digits, or four with a leading 0 ("640",
// "0640"). JSON has no octal numbers, so a number is refused rather than
// ignored: 640 would not mean what it says. The mode must let the owner read
// and write (the plugin writes the file) and give others nothing.
int64_t readFileMode(const tvsChannelConfig& record, const Key& row, const json& value) {
  if (!value.is_string()) {
    refuse(record, row, value.dump() + " (an octal string such as \"0640\")");
  }
  const std::string& given = value.get_ref<const std::string&>();
  const bool digits = (given.size() == 3 || (given.size() == 4 && given[0] == '0')) &&
                      given.find_first_not_of("01234567") == std::string::npos;
  if (!digits) refuse(record, row, given + " (an octal string such as \"0640\")");
  const int64_t mode = std::stoll(given, nullptr, 8);
  if ((mode & 07) != 0) refuse(record, row, given + " (it grants others access)");
  if ((mode & 0600) != 0600) refuse(record, row, given + " (the owner must read and write)");
  return mode;
}

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

// SQLite takes file names as C strings: a zero byte would silently open a
// shorter name than the one configured.
void refuseZeroInName(const tvsChannelConfig& record, const Key& row, const std::string& value) {
  if (value.find('\0') != std::string::npos) refuse(record, row, "holds a zero byte");
}

bool hasType(const Key& row, const json& value) {
  switch (row.type) {
    case Type::kDays:
    case Type::kInteger:
      return value.is_number_integer();
    case Type::kSchemas:
      return value.is_array();
    case Type::kFlag:
      return value.is_boolean();
    case Type::kFileMode:
    case Type::kDefinitions:
      return true;
    default:
      return value.is_string();
  }
}

void readKey(tvsChannelConfig& record, const Key& row, const json& value) {
  switch (row.type) {
    case Type::kDays:
      record.*std::get<int32_t tvsChannelConfig::*>(row.field) = clampToInt32(value);
      return;
    case Type::kPath: {
      tvGlobalConfig* global = tvGlobalConfig::instance;
      if (global == nullptr) {
        throw tvException("%s: instance not found",
                          "static tvGlobalConfig &tvGlobalConfig::GetInstance()");
      }
      std::string& path = record.*std::get<std::string tvsChannelConfig::*>(row.field);
      tv_expand_variables(value.get<std::string>(), path, global->variables);
      refuseZeroInName(record, row, path);
      return;
    }
    case Type::kFileName:
    case Type::kText: {
      std::string& text = record.*std::get<std::string tvsChannelConfig::*>(row.field);
      text = value.get<std::string>();
      if (row.type == Type::kFileName) refuseZeroInName(record, row, text);
      return;
    }
    case Type::kSchemas:
      record.*std::get<json tvsChannelConfig::*>(row.field) = value;
      return;
    case Type::kFlag:
      record.settings.*std::get<bool tvsChannelSettings::*>(row.field) = value.get<bool>();
      return;
    case Type::kDefinitions:
      record.settings.*std::get<json tvsChannelSettings::*>(row.field) = value;
      return;
    case Type::kFileMode:
      record.settings.*std::get<int64_t tvsChannelSettings::*>(row.field) =
          readFileMode(record, row, value);
      return;
    case Type::kChoice: {
      const std::string& given = value.get_ref<const std::string&>();
      const std::string lower = lowerCase(given);
      for (const char* choice : row.choices) {
        if (choice != nullptr && lower == choice) {
          record.settings.*std::get<std::string tvsChannelSettings::*>(row.field) = lower;
          return;
        }
      }
      refuse(record, row, given);
    }
    case Type::kInteger: {
      // JSON's non-negative integers come as unsigned ones.
      const bool is_unsigned = value.is_number_unsigned();
      const bool above = is_unsigned ? value.get<uint64_t>() > static_cast<uint64_t>(row.high)
                                     : value.get<int64_t>() > row.high;
      const bool below = is_unsigned
                             ? row.low > 0 && value.get<uint64_t>() < static_cast<uint64_t>(row.low)
                             : value.get<int64_t>() < row.low;
      if (below || (above && !row.saturate)) refuse(record, row, value.dump());
      record.settings.*std::get<int64_t tvsChannelSettings::*>(row.field) =
          above ? row.high : value.get<int64_t>();
      return;
    }
  }
}

void copyKey(tvsChannelConfig& to, const tvsChannelConfig& from, const Key& row) {
  std::visit(
      [&](auto member) {
        if constexpr (std::is_invocable_v<decltype(member), const tvsChannelConfig&>) {
          to.*member = from.*member;
        } else {
          to.settings.*member = from.settings.*member;
        }
      },
      row.field);
}

}  // namespace

tvsChannelSettings::tvsChannelSettings() {
  for (const Key& row : kKeys) {
    if (const auto* text = std::get_if<std::string tvsChannelSettings::*>(&row.field)) {
      this->*(*text) = row.text_default;
    } else if (const auto* number = std::get_if<int64_t tvsChannelSettings::*>(&row.field)) {
      this->*(*number) = row.number_default;
    } else if (const auto* flag = std::get_if<bool tvsChannelSettings::*>(&row.field)) {
      this->*(*flag) = row.number_default != 0;
    }
  }
}

void loadChannelSettings(tvsChannelConfig& record, const json& channel) {
  if (!channel.is_object()) return;
  for (const Key& row : kKeys) {
    const auto it = channel.find(row.key);
    if (it != channel.end() && hasType(row, *it)) readKey(record, row, *it);
  }
}

void seedChannelSettings(tvsChannelConfig& record, const tvsChannelConfig& defaults) {
  for (const Key& row : kKeys) {
    if (row.seeded) copyKey(record, defaults, row);
  }
}

void copyLoadedSettings(tvsChannelConfig& to, const tvsChannelConfig& from) {
  to.name = from.name;
  for (const Key& row : kKeys) copyKey(to, from, row);
}

bool isChannelSettingKey(const std::string& key) {
  for (const Key& row : kKeys) {
    if (key == row.key) return true;
  }
  return false;
}

const char* missingChannelSetting(const tvsChannelConfig& record) {
  for (const Key& row : kKeys) {
    if (row.required && (record.*std::get<std::string tvsChannelConfig::*>(row.field)).empty()) {
      return row.key;
    }
  }
  return nullptr;
}
