// The optional SQLite settings of a channel object.
#pragma once

#include <nlohmann/json.hpp>

#include "tvsChannelConfig.h"

// The most payloads one backlog transaction takes.
constexpr int32_t kMaxCommitBatch = 1024;

// Reads "journal_mode", "synchronous", "auto_vacuum", "busy_timeout",
// "schema_update", "commit_batch", "max_db_mb" and "wal_limit_mb" from
// `channel` into `record`, each only when it has the expected JSON type.
// Throws tvException "<name>: invalid <key>: <value>" for a value outside its
// set or range; journal modes that give up atomic commit ("memory", "off")
// are outside it.
void loadChannelSettings(tvsChannelConfig& record, const nlohmann::json& channel);

// Copies the settings that the top level of the configuration gives every
// channel.
void seedChannelSettings(tvsChannelConfig& record, const tvsChannelConfig& defaults);

// Copies everything Load reads, so that a record can be loaded on top of a
// copy of another one.
void copyLoadedSettings(tvsChannelConfig& to, const tvsChannelConfig& from);
