#include "channelState.h"

#include <sys/stat.h>

#include "aggregateWriter.h"
#include "fastReader.h"
#include "writeBatch.h"

std::optional<tvsFileIdentity> tvsFileIdentity::Of(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return tvsFileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

tvsChannelState::tvsChannelState() { PlanWrites(nlohmann::json(), {}); }
tvsChannelState::~tvsChannelState() = default;

void tvsChannelState::PlanWrites(const nlohmann::json& tables,
                                 const std::vector<tvsRollup>& rollups) {
  writer = std::make_unique<tvsAggregateWriter>(tables, rollups);
}

void tvsChannelState::ConnectionOpened(sqlite3* db, const std::string& channel,
                                       int64_t commit_batch, bool aggregator) {
  batch = std::make_unique<tvsWriteBatch>(db, channel, commit_batch);
  if (aggregator) fast_reader = std::make_unique<tvsFastReader>();
}

void tvsChannelState::ConnectionClosing() {
  batch.reset();
  if (writer) writer->ConnectionClosing();
  fast_reader.reset();
}

bool tvsChannelState::Pending() const { return purge_due || (batch && batch->Open()); }
