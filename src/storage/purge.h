// Retention: deletes a channel's expired interval rows.
#pragma once

#include <cstdint>
#include <string>

#include "openDatabase.h"

// Deletes, on a connection of its own to db_path/db_name, every row of
// <channel_name>_intervals created more than `days` days ago; the entry rows
// go with them through their ON DELETE CASCADE foreign keys. Then runs an
// incremental vacuum. Logs its outcome; throws tvException only when foreign
// keys cannot be switched on. A `busy_timeout` of 0 or more (milliseconds)
// lets it wait for another connection's lock. The connection is opened as
// the channel's is (openDatabase): a missing file is created with
// `file_mode`, a planted one refused, and the connection is defensive.
// Worker thread only.
void PurgeAggregateData(const std::string& channel_name, const std::string& db_path,
                        const std::string& db_name, int days, int busy_timeout = -1,
                        int64_t file_mode = kDefaultFileMode);
