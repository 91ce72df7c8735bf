#include "tvsChannelConfig.h"

#include <sqlite3.h>

#include "channelSettings.h"
#include "rollupSpec.h"
#include "storage/channelState.h"
#include "tvException.h"

void tvsSqliteClose::operator()(sqlite3* connection) const noexcept { sqlite3_close(connection); }

void tvsChannelConfig::Load(const std::string& channel_name, const nlohmann::json& channel) {
  name = channel_name;
  loadChannelSettings(*this, channel);
  AddDefaultColumns();
  if (!settings.rollups.is_null() && !IsAggregator()) {
    throw tvException("%s: invalid %s: rollups sum the rows of aggregator channels only",
                      name.c_str(), kRollupsKey);
  }
  state->PlanWrites(tables, readRollups(name, settings.rollups, tables, IntervalsTable()));
  state->retry_bytes = static_cast<uint64_t>(settings.retry_mb) << 20;
  state->backoff.Configure(std::chrono::seconds(settings.retry_max_s));
}
