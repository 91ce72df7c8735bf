#include "rollupWriter.h"

#include <cstring>

tvsRollupWriter::tvsRollupWriter(const tvsRollup& spec_, const tvsColumnPlan& plan_)
    : spec(spec_), plan(plan_), mark_key(spec_.Key()) {
  // A name the plan lacks was refused when the definition was read; a plan
  // that could not be read fails every payload before any rollup.
  for (const tvsRollup::Column& column : spec.group_by) {
    const int at = plan.ColumnOf(column.name);
    if (at >= 0) group_columns.push_back(static_cast<size_t>(at));
  }
  for (const std::string& column : spec.sum) {
    const int at = plan.ColumnOf(column);
    if (at >= 0) sum_columns.push_back(static_cast<size_t>(at));
  }
}

void tvsRollupWriter::Begin(int64_t time_start) {
  bucket = spec.Bucket(time_start);
  index.clear();
  groups.clear();
  sums.clear();
}

void tvsRollupWriter::Add(const tvsValue* const* member) {
  // The group's values encoded apart from each other: a kind, then the
  // integer or the text's length and bytes.
  key.clear();
  for (const size_t column : group_columns) {
    const tvsStoredValue value = plan.Stored(column, member);
    key += static_cast<char>(value.kind);
    if (value.kind == tvsStoredValue::Kind::kInteger) {
      key.append(reinterpret_cast<const char*>(&value.integer), sizeof value.integer);
    } else if (value.kind == tvsStoredValue::Kind::kText) {
      const uint64_t length = value.text.size();
      key.append(reinterpret_cast<const char*>(&length), sizeof length);
      key.append(value.text);
    }
  }
  const auto found = index.try_emplace(key, groups.size());
  if (found.second) {
    groups.push_back({&found.first->first, 0});
    sums.resize(sums.size() + sum_columns.size());
  }
  Group& group = groups[found.first->second];
  tvsRollupSum* group_sums = sums.data() + found.first->second * sum_columns.size();
  for (size_t i = 0; i < sum_columns.size(); ++i) {
    const tvsStoredValue value = plan.Stored(sum_columns[i], member);
    // A NULL adds nothing, as in SQLite's sum().
    if (value.kind == tvsStoredValue::Kind::kInteger) group_sums[i].Add(value.integer);
  }
  ++group.count;
}

tvsStmtHandle* tvsRollupWriter::Flush(sqlite3* db, const std::string& channel,
                                      int64_t interval_id) {
  if (!mark) {
    mark = prepare(
        db, "UPDATE " + tvsRollupMarksTable(channel) + " SET last_interval = ?1 WHERE rollup = ?2");
    if (!mark) return &mark;
  }
  sqlite3_reset(mark.get());
  sqlite3_bind_int64(mark.get(), 1, interval_id);
  sqlite3_bind_text(mark.get(), 2, mark_key.c_str(), -1, SQLITE_STATIC);
  if (sqlite3_step(mark.get()) != SQLITE_DONE) return &mark;
  sqlite3_reset(mark.get());
  if (groups.empty()) return nullptr;
  if (!upsert) {
    upsert = prepare(db, spec.UpsertSql());
    if (!upsert) return &upsert;
  }
  sqlite3_stmt* statement = upsert.get();
  const tvsRollupSum* group_sums = sums.data();
  for (const Group& group : groups) {
    sqlite3_reset(statement);
    int parameter = 1;
    sqlite3_bind_int64(statement, parameter++, bucket);
    // The values as Add encoded them; the text is bound where the key keeps it.
    const char* at = group.key->data();
    for (size_t column = 0; column < group_columns.size(); ++column) {
      const int p = parameter++;
      const auto kind = static_cast<tvsStoredValue::Kind>(*at++);
      if (kind == tvsStoredValue::Kind::kInteger) {
        int64_t integer;
        std::memcpy(&integer, at, sizeof integer);
        at += sizeof integer;
        sqlite3_bind_int64(statement, p, integer);
      } else if (kind == tvsStoredValue::Kind::kText) {
        uint64_t length;
        std::memcpy(&length, at, sizeof length);
        at += sizeof length;
        sqlite3_bind_text64(statement, p, at, length, SQLITE_STATIC, SQLITE_UTF8);
        at += length;
      } else {
        sqlite3_bind_null(statement, p);
      }
    }
    for (size_t i = 0; i < sum_columns.size(); ++i, ++group_sums) {
      const int p = parameter++;
      if (group_sums->is_real) {
        sqlite3_bind_double(statement, p, group_sums->real);
      } else {
        sqlite3_bind_int64(statement, p, group_sums->integer);
      }
    }
    if (!spec.count.empty()) sqlite3_bind_int64(statement, parameter, group.count);
    if (sqlite3_step(statement) != SQLITE_DONE) return &upsert;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return nullptr;
}
