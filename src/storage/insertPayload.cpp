// The door through which every payload reaches a channel.
#include <memory>
#include <new>

#include "aggregateWriter.h"
#include "clock.h"
#include "errorLog.h"
#include "fastReader.h"
#include "jsonParse.h"
#include "payloadReader.h"
#include "purge.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"

using json = nlohmann::json;

std::time_t (*tvsClock)(std::time_t*) = std::time;

namespace {

constexpr int64_t kSecondsPerDay = 86400;

}  // namespace

int tvsChannelConfig::InsertPayload(const std::string& payload_text) {
  const tvsErrorCapture capture(last_error);
  if (!EnsureConfiguredFile()) return -1;
  const bool aggregator = IsAggregator();
  // An aggregator payload is read straight into what the writer needs: by
  // the fast reader when it can, else by the JSON library's. The text of any
  // other channel is only checked, never built.
  std::unique_ptr<tvsAggregateWriter> unopened;
  if (aggregator && !writer) unopened = std::make_unique<tvsAggregateWriter>(tables);
  tvsAggregateWriter& aggregate = writer ? *writer : *unopened;
  tvsAggregatePayload read;
  try {
    if (!aggregator) {
      checkJsonSyntax(payload_text);
    } else if (!fast_reader || !fast_reader->Read(payload_text, aggregate.Plan(), read)) {
      readAggregatePayload(payload_text, aggregate.Plan(), read);
    }
  } catch (const json::exception& e) {
    logChannelError("%s: JSON parse error: %s\n", name.c_str(), e.what());
    return -1;
  } catch (const tvsNestingError& e) {
    logChannelError("%s: JSON parse error: %s\n", name.c_str(), e.what());
    return -1;
  } catch (const std::bad_alloc&) {
    // One payload too large for the memory left costs that payload only.
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    return -1;
  }

  tv_dprintf("%s: processing data source: %s\n", "sink-sqlite", data_source.c_str());
  int result;
  if (aggregator) {
    if (!read.HasEntries()) return 0;
    try {
      result = aggregate.Write(*this, read);
    } catch (const json::exception& e) {
      // A value of the wrong type in one payload costs that payload only; the
      // writer has rolled its transaction back already.
      logChannelError("%s: payload not stored: %s\n", name.c_str(), e.what());
      result = -1;
    } catch (const std::bad_alloc&) {
      logChannelError("%s: payload not stored: out of memory\n", name.c_str());
      result = -1;
    }
    if (result > 0) {
      tv_dprintf("%s: saved %d rows from payload on channel %s\n", "sink-sqlite", result,
                 name.c_str());
    } else if (result == 0) {
      tv_dprintf("%s: no rows saved from payload on channel %s\n", "sink-sqlite", name.c_str());
    }
  } else {
    result = -1;
    logChannelError("%s: unsupported data_source on channel %s\n", "sink-sqlite", name.c_str());
  }

  // last_purge is set before the purge runs, so a failing purge is not
  // retried until another day has passed.
  const int64_t now = tvsClock(nullptr);
  if (purge_in_days > 0 && now - last_purge > kSecondsPerDay) {
    last_purge = now;
    ++purges_run;
    tv_dprintf("sink-sqlite: running daily purge for aggregate %s.%s\n", name.c_str(),
               db_name.c_str());
    PurgeAggregateData(name, db_path, db_name, purge_in_days, busy_timeout);
  }
  return result;
}
