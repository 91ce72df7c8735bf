// The aggregate writer's entry for a payload read by readAggregatePayload.
#pragma once

#include "columnPlan.h"
#include "payloadReader.h"
#include "tvsChannelConfig.h"

// Stores `payload`, read with `plan`, exactly as ProcessAggregateData stores
// the same payload parsed as a document.
int writeAggregatePayload(tvsChannelConfig& channel, const tvsAggregatePayload& payload,
                          const tvsColumnPlan& plan);
