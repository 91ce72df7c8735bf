// The bound a channel's "max_db_mb" sets on the pages its file uses.
#pragma once

#include "tvsChannelConfig.h"

// The most intervals a cap purge deletes per transaction: few enough that a
// chunk holds the file's lock only briefly.
constexpr int kCapChunkIntervals = 64;

// When the channel has a bound and its file's used pages exceed it, deletes
// the oldest intervals (their entry rows through the cascade) chunk by chunk,
// each chunk its own transaction, until about 90 % of the bound is used;
// gives the freed pages back with incremental auto_vacuum and empties a WAL.
// Intervals from `newest_first` on (the commit that crossed the bound) are
// never deleted, so a commit larger than the bound leaves the file above it.
// Logs one debug line per purge and counts it. Records the bytes used.
void enforceSizeCap(tvsChannelConfig& channel, int64_t newest_first);

// Cuts a WAL channel's -wal file back after a purge: its frames go into the
// database and the file is truncated. A no-op outside WAL mode.
void truncateWal(tvsChannelConfig& channel);
