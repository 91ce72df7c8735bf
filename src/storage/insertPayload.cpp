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
#include "sizeCap.h"
#include "tvLog.h"
#include "tvsChannelConfig.h"

using json = nlohmann::json;

std::time_t (*tvsClock)(std::time_t*) = std::time;

namespace {

constexpr int64_t kSecondsPerDay = 86400;

void logSaved(int rows, const std::string& channel) {
  tv_dprintf("%s: saved %d rows from payload on channel %s\n", "sink-sqlite", rows,
             channel.c_str());
}

}  // namespace

int tvsChannelConfig::InsertPayload(const std::string& payload_text) {
  const tvsErrorCapture capture(last_error);
  if (!EnsureConfiguredFile()) return -1;
  bool purge_check = false;
  const int result = StorePayload(payload_text, purge_check);
  if (result > 0) {
    logSaved(result, name);
    enforceSizeCap(*this);
  }
  if (purge_check) PurgeWhenDue();
  return result;
}

int tvsChannelConfig::StagePayload(const std::string& payload_text) {
  const tvsErrorCapture capture(last_error);
  if (!batch_open) {
    // The file is checked once per batch: its connection must stay open
    // while the batch's transaction is.
    if (!EnsureConfiguredFile()) return -1;
    std::string error;
    if (db && !execSql(db.get(), "BEGIN TRANSACTION;", error)) {
      logChannelError("%s: BEGIN TRANSACTION failed: %s\n", name.c_str(), error.c_str());
      return -1;
    }
    batch_open = db != nullptr;
  }
  bool purge_check = false;
  const int result = StorePayload(payload_text, purge_check);
  if (result > 0) staged_rows.push_back(result);
  batch_purge_check = batch_purge_check || purge_check;
  return result;
}

std::vector<int> tvsChannelConfig::CommitBatch() {
  std::vector<int> results;
  const tvsErrorCapture capture(last_error);
  if (batch_open) {
    batch_open = false;
    std::string error;
    if (execSql(db.get(), "COMMIT;", error)) {
      for (const int rows : staged_rows) {
        logSaved(rows, name);
        results.push_back(rows);
      }
      if (!staged_rows.empty()) enforceSizeCap(*this);
    } else {
      // Nothing of the batch is in the file: every payload of it failed.
      for (size_t i = 0; i < staged_rows.size(); ++i) {
        logChannelError("%s: COMMIT failed: %s\n", name.c_str(), error.c_str());
        results.push_back(-1);
      }
      tv_dprintf("%s: Transaction aborted\n", name.c_str());
      if (!execSql(db.get(), "ROLLBACK;", error)) {
        logChannelError("%s: ROLLBACK failed: %s\n", name.c_str(), error.c_str());
      }
    }
  }
  staged_rows.clear();
  // The purge takes a connection of its own, so it waits for the commit.
  if (batch_purge_check) PurgeWhenDue();
  batch_purge_check = false;
  return results;
}

int tvsChannelConfig::StorePayload(const std::string& payload_text, bool& purge_check) {
  purge_check = false;
  const bool aggregator = IsAggregator();
  // An aggregator payload is read straight into what the writer needs: by
  // the fast reader when it can, else by the JSON library's. The text of any
  // other channel is only checked, never built.
  std::unique_ptr<tvsAggregateWriter> unopened;
  if (aggregator && !writer) unopened = std::make_unique<tvsAggregateWriter>(tables);
  tvsAggregateWriter* const aggregate = writer ? writer.get() : unopened.get();
  tvsAggregatePayload read;
  try {
    if (!aggregator) {
      checkJsonSyntax(payload_text);
    } else if (!fast_reader || !fast_reader->Read(payload_text, aggregate->Plan(), read)) {
      readAggregatePayload(payload_text, aggregate->Plan(), read);
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
  if (aggregator && !read.HasEntries()) return 0;
  purge_check = true;
  if (!aggregator) {
    logChannelError("%s: unsupported data_source on channel %s\n", "sink-sqlite", name.c_str());
    return -1;
  }
  int result;
  try {
    result = aggregate->Write(*this, read);
  } catch (const json::exception& e) {
    // A value of the wrong type in one payload costs that payload only; the
    // writer has rolled its transaction back already.
    logChannelError("%s: payload not stored: %s\n", name.c_str(), e.what());
    result = -1;
  } catch (const std::bad_alloc&) {
    logChannelError("%s: payload not stored: out of memory\n", name.c_str());
    result = -1;
  }
  if (result == 0) {
    tv_dprintf("%s: no rows saved from payload on channel %s\n", "sink-sqlite", name.c_str());
  }
  return result;
}

void tvsChannelConfig::PurgeWhenDue() {
  // last_purge is set before the purge runs, so a failing purge is not
  // retried until another day has passed.
  const int64_t now = tvsClock(nullptr);
  if (purge_in_days > 0 && now - last_purge > kSecondsPerDay) {
    last_purge = now;
    ++purges_run;
    tv_dprintf("sink-sqlite: running daily purge for aggregate %s.%s\n", name.c_str(),
               db_name.c_str());
    PurgeAggregateData(name, db_path, db_name, purge_in_days, busy_timeout);
    truncateWal(*this);
  }
}
