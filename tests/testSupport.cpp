#include "testSupport.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <stdlib.h>

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tvs-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& name, const std::string& contents) const {
  std::ofstream out(File(name), std::ios::binary);
  out << contents;
}

LogCapture::LogCapture() {
  tvSetLogHandler([this](tvLogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    lines.emplace_back(level, line);
  });
}

LogCapture::~LogCapture() { tvSetLogHandler(nullptr); }

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(lock);
  std::vector<std::string> result;
  for (const auto& line : lines) result.push_back(line.second);
  return result;
}

std::vector<std::string> LogCapture::OperatorLines() const {
  std::lock_guard<std::mutex> guard(lock);
  std::vector<std::string> result;
  for (const auto& line : lines) {
    if (line.first == tvLogLevel::Operator) result.push_back(line.second);
  }
  return result;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> guard(lock);
  lines.clear();
}

GlobalConfigScope::GlobalConfigScope(std::map<std::string, std::string> variables)
    : previous(tvGlobalConfig::instance) {
  config.variables = std::move(variables);
  tvGlobalConfig::instance = &config;
}

GlobalConfigScope::~GlobalConfigScope() { tvGlobalConfig::instance = previous; }

namespace {

struct Connection {
  explicit Connection(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db);
    }
  }
  ~Connection() { sqlite3_close(db); }
  sqlite3* db = nullptr;
};

int collectRow(void* rows, int columns, char** values, char**) {
  std::vector<std::string> row;
  for (int i = 0; i < columns; ++i) row.push_back(values[i] ? values[i] : "NULL");
  static_cast<Rows*>(rows)->push_back(std::move(row));
  return 0;
}

}  // namespace

Rows Query(const std::string& path, const std::string& sql) {
  Connection connection(path);
  Rows rows;
  char* error = nullptr;
  if (sqlite3_exec(connection.db, sql.c_str(), collectRow, &rows, &error) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << (error ? error : "?");
  }
  sqlite3_free(error);
  return rows;
}

void Exec(const std::string& path, const std::string& sql) {
  Connection connection(path);
  char* error = nullptr;
  if (sqlite3_exec(connection.db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << (error ? error : "?");
  }
  sqlite3_free(error);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}
