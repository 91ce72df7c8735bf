// The rollup tables of a channel's file: set up with its connection, and
// their rows past keep_days purged.
#pragma once

#include <cstdint>

#include "tvsChannelConfig.h"

// Sets up every rollup of `channel` on its open connection. A missing table
// is created with its key and filled from the rows the file holds, in one
// transaction (one debug line says how many); an existing one is checked
// against its definition (reconcileRollup). Throws tvException naming the
// rollup when a table cannot be created or keeps other buckets or groups.
void setUpRollups(tvsChannelConfig& channel);

// True when a rollup of `channel` keeps its rows for limited days.
bool rollupsExpire(const tvsChannelConfig& channel);

// Deletes the rollup rows whose bucket started more than keep_days before
// `now`, on the channel's connection; logs each rollup's outcome.
void purgeRollups(tvsChannelConfig& channel, int64_t now);

// The bytes the rollup tables and their keys take in the file; -1 when
// SQLite cannot tell.
int64_t rollupBytes(tvsChannelConfig& channel);
