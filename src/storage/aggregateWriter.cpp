// Stores one aggregator payload: an interval row and its entry rows, in one
// transaction.
#include "aggregateWriter.h"

#include <algorithm>
#include <array>

#include "channel/insertSql.h"
#include "channelState.h"
#include "errorLog.h"
#include "payloadReader.h"
#include "tvLog.h"
#include "writeBatch.h"

using json = nlohmann::json;

namespace {

// Undoes the payload being written on every way out that did not end it,
// an error raised mid-entry included, so nothing of it is left behind.
class tvsPayloadScope {
 public:
  explicit tvsPayloadScope(tvsWriteBatch& batch_) : batch(batch_) {}
  tvsPayloadScope(const tvsPayloadScope&) = delete;
  tvsPayloadScope& operator=(const tvsPayloadScope&) = delete;
  ~tvsPayloadScope() {
    if (!ended) batch.AbortPayload("payload not stored");
  }
  bool Begin() {
    ended = !batch.BeginPayload();
    return !ended;
  }
  bool End() {
    ended = true;
    return batch.EndPayload();
  }
  void Abort(const std::string& cause, int code) {
    ended = true;
    batch.AbortPayload(cause, code);
  }

 private:
  tvsWriteBatch& batch;
  bool ended = true;
};

// Keeps a statement reset, with no binding into a payload that is gone, on
// every way out of a write.
struct tvsResetStatement {
  void operator()(tvsStmtHandle* statement) const {
    if (!*statement) return;
    sqlite3_reset(statement->get());
    sqlite3_clear_bindings(statement->get());
  }
};
using tvsStatementRelease = std::unique_ptr<tvsStmtHandle, tvsResetStatement>;

// Rows per entry statement: a group of them saves SQLite a statement's
// set-up per row. A power of two, so that a payload's last entries go in
// statements of the sizes below it (16, 8, ... 1), the only others kept; and
// no statement takes more than kMostParameters, which keeps a wide table's
// statements small.
constexpr size_t kGroupRows = 32;
constexpr size_t kMostParameters = 4096;
// The sizes a write may use: the powers of two up to kGroupRows.
constexpr size_t kGroupSizes = 6;
static_assert(size_t{1} << (kGroupSizes - 1) == kGroupRows, "one size per power of two");

// The same for the entry statements a write used: each is left reset, with
// no binding into the payload, on every way out.
class tvsStatementsReset {
 public:
  tvsStatementsReset() = default;
  tvsStatementsReset(const tvsStatementsReset&) = delete;
  tvsStatementsReset& operator=(const tvsStatementsReset&) = delete;
  ~tvsStatementsReset() {
    for (tvsStmtHandle* statement : used) {
      if (statement) tvsResetStatement()(statement);
    }
  }
  // A write uses at most one statement of each size.
  void Note(tvsStmtHandle* statement) {
    for (tvsStmtHandle*& slot : used) {
      if (slot == statement) return;
      if (slot == nullptr) {
        slot = statement;
        return;
      }
    }
  }

 private:
  std::array<tvsStmtHandle*, kGroupSizes> used{};
};

// True when `table` (as configured) has no foreign key but interval_id's,
// whose parent, the payload's interval row, is always there.
bool onlyIntervalKey(sqlite3* db, const std::string& table, const std::string& intervals) {
  const tvsStmtHandle probe = prepare(db, "SELECT * FROM " + table);
  const char* schema = probe ? sqlite3_column_database_name(probe.get(), 0) : nullptr;
  const char* resolved = probe ? sqlite3_column_table_name(probe.get(), 0) : nullptr;
  if (schema == nullptr || resolved == nullptr) return false;
  const tvsStmtHandle keys =
      prepare(db,
              "SELECT count(*) FROM pragma_foreign_key_list(?1, ?2) WHERE lower(\"from\") <> "
              "'interval_id' OR lower(\"table\") <> lower(?3)");
  if (!keys) return false;
  sqlite3_bind_text(keys.get(), 1, resolved, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(keys.get(), 2, schema, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(keys.get(), 3, intervals.c_str(), -1, SQLITE_TRANSIENT);
  return sqlite3_step(keys.get()) == SQLITE_ROW && sqlite3_column_int64(keys.get(), 0) == 0;
}

// The rows of a full group on the connection. A foreign key is checked when
// its statement ends, so in a group a row could find its parent in a later
// row, or fail after a later row's failure: a table with other keys than
// interval_id's gets one row per statement, as every row then fails or
// passes as it would alone.
size_t groupRows(sqlite3* db, const std::string& table, const std::string& intervals,
                 size_t parameters_per_row) {
  if (!onlyIntervalKey(db, table, intervals)) return 1;
  const int limit = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  const size_t most = std::min(kMostParameters, limit > 0 ? static_cast<size_t>(limit) : 1);
  const size_t fit = std::min(kGroupRows, most / parameters_per_row);
  size_t rows = 1;
  while (rows * 2 <= fit) rows *= 2;
  return rows;
}

// The largest power of two no larger than `rows` (at least 1).
size_t powerOfTwoBelow(uint64_t rows) {
  size_t size = 1;
  while (size * 2 <= rows) size *= 2;
  return size;
}

}  // namespace

tvsAggregateWriter::tvsAggregateWriter(const json& tables,
                                       const std::vector<tvsRollup>& rollup_specs) {
  try {
    plan =
        std::make_unique<tvsColumnPlan>(tables.is_array() && !tables.empty() ? tables[0] : tables);
  } catch (const std::exception&) {
    plan_error = std::current_exception();
    plan = std::make_unique<tvsColumnPlan>();
  }
  members.assign(plan->Slots(), nullptr);
  for (const tvsRollup& spec : rollup_specs) {
    rollups.push_back(std::make_unique<tvsRollupWriter>(spec, *plan));
  }
}

tvsStmtHandle& tvsAggregateWriter::EntryInsert(sqlite3* db, const json& table, size_t rows) {
  if (entry_inserts.size() <= rows) entry_inserts.resize(rows + 1);
  tvsStmtHandle& statement = entry_inserts[rows];
  if (!statement) statement = prepare(db, generateGroupedInsertSQL(table, rows));
  return statement;
}

void tvsAggregateWriter::ConnectionClosing() {
  interval_insert.reset();
  entry_inserts.clear();
  group_rows = 0;
  for (const auto& rollup : rollups) rollup->ConnectionClosing();
}

int tvsAggregateWriter::Write(tvsChannelConfig& channel, const tvsAggregatePayload& payload) {
  const char* name = channel.name.c_str();
  sqlite3* db = channel.db.get();
  // The start is converted first, so a start of the wrong type raises even
  // when the end is missing.
  const int64_t time_start = payload.start.present ? toInt64(payload.start.value, true) : 0;
  if (!payload.end.present) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name);
    return 0;
  }
  const int64_t time_end = toInt64(payload.end.value, true);
  if (time_start == 0 || time_end == 0) {
    tv_dprintf("%s: Metadata lacked timestamps - aborting\n", name);
    return 0;
  }
  if (!db) {
    logChannelError("%s: Database handle missing - aborting\n", name);
    return -1;
  }

  tvsPayloadScope scope(*channel.state->batch);
  if (!scope.Begin()) return -1;
  // Every failed step ends here: its line with SQLite's message (read before
  // anything else touches the connection), the statement dropped, the
  // payload rolled back.
  const auto fail = [&](const char* format, tvsStmtHandle* statement) {
    const std::string cause = sqlite3_errmsg(db);
    const int code = sqlite3_extended_errcode(db);
    logChannelError(format, name, cause.c_str());
    if (statement) statement->reset();
    scope.Abort(cause, code);
    return -1;
  };

  if (!interval_insert) {
    interval_insert = prepare(
        db, "INSERT INTO " + channel.IntervalsTable() + " (time_start, time_end) VALUES (?, ?)");
    if (!interval_insert) return fail("%s: SQLite prepare failed: %s\n", nullptr);
  }
  {
    const tvsStatementRelease release(&interval_insert);
    sqlite3_bind_int64(interval_insert.get(), 1, time_start);
    sqlite3_bind_int64(interval_insert.get(), 2, time_end);
    if (sqlite3_step(interval_insert.get()) != SQLITE_DONE) {
      return fail("%s: SQLite interval insert failed: %s\n", &interval_insert);
    }
  }
  const int64_t interval_id = sqlite3_last_insert_rowid(db);
  channel.state->batch->NoteInterval(interval_id);

  const json& table = channel.tables.at(0);
  if (group_rows == 0) {
    group_rows = groupRows(db, table.at("name").get<std::string>(), channel.IntervalsTable(),
                           plan->Parameters());
    // Room for every size once: the statements noted below stay where they are.
    entry_inserts.resize(group_rows + 1);
  }
  // The single-row statement first, whatever the payload holds: a table it
  // cannot name fails every payload alike.
  if (!EntryInsert(db, table, 1)) return fail("%s: SQLite prepare failed: %s\n", nullptr);
  if (plan_error) std::rethrow_exception(plan_error);

  int rows = 0;
  {
    tvsStatementsReset used;
    const std::vector<tvsValue>& values = payload.values;
    tvsMemberRuns run(values);
    // Nothing of an earlier payload, which may have ended by an error.
    std::fill(members.begin(), members.end(), nullptr);
    for (const auto& rollup : rollups) rollup->Begin(time_start);
    // Sets the members of `entry` from the run `at`; false when the entry
    // has none (every slot then binds empty). `release` clears them and
    // moves the run on.
    const auto take = [&](tvsMemberRuns& at, uint64_t entry) {
      if (!at.Valid() || at.Entry() != entry) return false;
      for (size_t i = at.Begin(); i < at.End(); ++i) members[values[i].slot] = &values[i];
      return true;
    };
    const auto release = [&](tvsMemberRuns& at, bool had_members) {
      if (!had_members) return;
      for (size_t i = at.Begin(); i < at.End(); ++i) members[values[i].slot] = nullptr;
      at.Next();
    };
    const size_t per_row = plan->Parameters();
    for (uint64_t entry = 0; entry < payload.entries;) {
      // Entries go in groups of group_rows, the last ones in groups of the
      // powers of two below it.
      const uint64_t left = payload.entries - entry;
      const size_t count = left >= group_rows ? group_rows : powerOfTwoBelow(left);
      tvsStmtHandle& handle = EntryInsert(db, table, count);
      if (!handle) return fail("%s: SQLite prepare failed: %s\n", nullptr);
      used.Note(&handle);
      sqlite3_stmt* statement = handle.get();
      // Every parameter is bound for every row, so no clearing in between.
      sqlite3_reset(statement);
      const uint64_t first = entry;
      const tvsMemberRuns group_start = run;
      for (size_t row = 0; row < count; ++row, ++entry) {
        const bool had_members = take(run, entry);
        try {
          plan->Bind(statement, static_cast<int>(1 + row * per_row), interval_id, members.data());
          for (const auto& rollup : rollups) rollup->Add(members.data());
        } catch (...) {
          // One row per statement would have stored the rows before this
          // one before meeting it: a failure of theirs is the one to report.
          const std::exception_ptr error = std::current_exception();
          std::fill(members.begin(), members.end(), nullptr);
          tvsStmtHandle& single = EntryInsert(db, table, 1);
          used.Note(&single);
          tvsMemberRuns again = group_start;
          for (uint64_t before = first; before < entry; ++before) {
            const bool its_members = take(again, before);
            sqlite3_reset(single.get());
            plan->Bind(single.get(), 1, interval_id, members.data());
            if (sqlite3_step(single.get()) != SQLITE_DONE) {
              return fail("%s: SQLite stats insert failed: %s\n", &single);
            }
            release(again, its_members);
          }
          std::rethrow_exception(error);
        }
        release(run, had_members);
      }
      if (sqlite3_step(statement) != SQLITE_DONE) {
        return fail("%s: SQLite stats insert failed: %s\n", &handle);
      }
      rows += static_cast<int>(count);
    }
  }
  for (const auto& rollup : rollups) {
    if (tvsStmtHandle* failed = rollup->Flush(db, channel.name, interval_id)) {
      return fail(
          *failed ? "%s: SQLite rollup insert failed: %s\n" : "%s: SQLite prepare failed: %s\n",
          failed);
    }
  }
  return scope.End() ? rows : -1;
}

int tvsChannelConfig::ProcessAggregateData(const json& payload) {
  // A record whose database was never set up fails on the missing handle,
  // once the timestamps are checked.
  tvsAggregatePayload read;
  readAggregateDocument(payload, state->writer->Plan(), read);
  const int rows = state->writer->Write(*this, read);
  // Written, not yet committed: the commit starts where every commit does.
  if (rows >= 0 && state->batch && state->batch->Open() && !CommitOpen()) return -1;
  return rows;
}
