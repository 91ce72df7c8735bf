// Owners of SQLite handles and the error-text idiom shared by the storage code.
#pragma once

#include <memory>
#include <string>

#include <sqlite3.h>

#include "tvsChannelConfig.h"

struct tvsSqliteFinalize {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using tvsStmtHandle = std::unique_ptr<sqlite3_stmt, tvsSqliteFinalize>;

// Prepares `sql`; null when SQLite refuses it (sqlite3_errmsg tells why).
inline tvsStmtHandle prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
  return tvsStmtHandle(raw);
}

// `name` as an SQL identifier in double quotes, whatever it holds.
inline std::string quotedName(const std::string& name) {
  std::string text = "\"";
  for (const char c : name) text += c == '"' ? "\"\"" : std::string(1, c);
  return text + "\"";
}

// Copies sqlite3_exec's error text and frees it; "unknown" when there is none.
inline std::string takeSqliteError(char* error) {
  std::string text = error ? error : "unknown";
  sqlite3_free(error);
  return text;
}

// The first column of the first row `sql` returns, as text ("" when none).
inline std::string pragmaValue(sqlite3* db, const std::string& sql, std::string& error) {
  std::string value;
  char* text = nullptr;
  const int rc = sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int columns, char** values, char**) {
        if (columns > 0 && values[0] && static_cast<std::string*>(out)->empty()) {
          *static_cast<std::string*>(out) = values[0];
        }
        return 0;
      },
      &value, &text);
  if (rc != SQLITE_OK) error = takeSqliteError(text);
  return value;
}

// Runs `sql` with sqlite3_exec. On failure stores the error text (freed
// already) in `error` and returns false.
inline bool execSql(sqlite3* db, const std::string& sql, std::string& error) {
  char* text = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &text) == SQLITE_OK) {
    sqlite3_free(text);
    return true;
  }
  error = takeSqliteError(text);
  return false;
}
