// The index that lets a purge's cascade find an interval's entry rows.
#pragma once

#include "tvsChannelConfig.h"

// For every table of the channel that has an `interval_id` column and no index
// led by it, creates one. An optimisation only: a table that cannot get one
// (an odd name, a locked file, anything) costs one debug line, never the load.
void addIntervalIdIndexes(const tvsChannelConfig& channel);
