// Shared fixtures of the tests: a temporary directory, a capture of the log
// lines the plugin writes, and queries through a second connection.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "tvGlobalConfig.h"
#include "tvLog.h"
#include "tvStandin.h"

using json = nlohmann::json;
using Rows = std::vector<std::vector<std::string>>;

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

// Collects every log line while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;          // debug and operator lines, in order
  std::vector<std::string> OperatorLines() const;  // tv_printf lines only
  void Clear();

 private:
  mutable std::mutex lock;
  std::vector<std::pair<tvLogLevel, std::string>> lines;
};

// Installs a global configuration with the given variables while it lives.
class GlobalConfigScope {
 public:
  explicit GlobalConfigScope(std::map<std::string, std::string> variables = {});
  ~GlobalConfigScope();

 private:
  tvGlobalConfig config;
  tvGlobalConfig* previous;
};

// Runs `sql` on the database file at `path` through a connection of its own
// and returns every row as text ("NULL" for SQL NULL).
Rows Query(const std::string& path, const std::string& sql);
// Runs statements on the file at `path`; fails the test on an error.
void Exec(const std::string& path, const std::string& sql);

std::string ReadFile(const std::string& path);
