// The bound a channel's "max_db_mb" sets on the pages its file uses.
#pragma once

#include "tvsChannelConfig.h"

// Intervals a cap purge deletes per transaction: short enough that a chunk
// holds the file's lock only briefly, long enough that the cap catches up.
constexpr int kCapChunkIntervals = 64;

// When the channel has a bound and its file's used pages exceed it, deletes
// the oldest intervals (their entry rows through the cascade) chunk by chunk,
// each chunk its own transaction, until at most 90 % of the bound is used;
// gives the freed pages back with incremental auto_vacuum and empties a WAL.
// Logs one debug line per purge and counts it. Records the bytes used.
void enforceSizeCap(tvsChannelConfig& channel);

// Cuts a WAL channel's -wal file back after a purge: its frames go into the
// database and the file is truncated. A no-op outside WAL mode.
void truncateWal(tvsChannelConfig& channel);
