// Every key a channel object, or the top level of the configuration, is read
// for: the record's own and its optional settings, in one table that drives
// loading, seeding, copying and the warning on unknown keys.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tvsChannelConfig.h"

// The key of the table schemas, whose own keys the configuration loader
// checks too.
inline constexpr char kTablesKey[] = "tables";

// Reads every key of the table from `channel` into `record`, in the table's
// order, each only when it has the expected JSON type; `record.name` names
// the channel in errors. Throws tvException "<name>: invalid <key>: <value>"
// for a value outside its set or range (journal modes that give up atomic
// commit, "memory" and "off", are outside it), and as Load does for
// "db_path".
void loadChannelSettings(tvsChannelConfig& record, const nlohmann::json& channel);

// Copies what the top level gives every channel: "db_path",
// "purge_in_days" and the optional settings.
void seedChannelSettings(tvsChannelConfig& record, const tvsChannelConfig& defaults);

// Copies everything Load reads, so that a record can be loaded on top of a
// copy of another one.
void copyLoadedSettings(tvsChannelConfig& to, const tvsChannelConfig& from);

// True for a key of the table.
bool isChannelSettingKey(const std::string& key);

// The key a channel must give and `record` lacks; null when none is missing.
const char* missingChannelSetting(const tvsChannelConfig& record);
