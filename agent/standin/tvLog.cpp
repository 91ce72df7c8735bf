#include "tvLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <sys/stat.h>

#include "formatText.h"
#include "tvGlobalConfig.h"
#include "tvStandin.h"
#include "tvTerm.h"

tvGlobalConfig* tvGlobalConfig::instance = nullptr;
const char* const tvTerm::Icon::INFO = "[i]";

namespace {

std::mutex log_lock;
tvLogHandler log_handler;

void emit(tvLogLevel level, const std::string& line) {
  std::lock_guard<std::mutex> guard(log_lock);
  if (log_handler) {
    log_handler(level, line);
  } else if (level == tvLogLevel::Operator) {
    std::fputs(line.c_str(), stderr);
  }
}

}  // namespace

tvLogHandler tvSetLogHandler(tvLogHandler handler) {
  std::lock_guard<std::mutex> guard(log_lock);
  tvLogHandler previous = std::move(log_handler);
  log_handler = std::move(handler);
  return previous;
}

void tv_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = formatText(format, args);
  va_end(args);
  emit(tvLogLevel::Operator, line);
}

void tv_dprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = formatText(format, args);
  va_end(args);
  emit(tvLogLevel::Debug, line);
}

int tv_expand_variables(const std::string& input, std::string& output,
                        const std::map<std::string, std::string>& variables) {
  std::string result;
  result.reserve(input.size());
  int replaced = 0;
  size_t pos = 0;
  while (pos < input.size()) {
    const size_t open = input.find("${", pos);
    if (open == std::string::npos) break;
    const size_t close = input.find('}', open + 2);
    if (close == std::string::npos) break;
    result.append(input, pos, open - pos);
    const auto it = variables.find(input.substr(open + 2, close - open - 2));
    if (it != variables.end()) {
      result += it->second;
      ++replaced;
    } else {
      result.append(input, open, close + 1 - open);
    }
    pos = close + 1;
  }
  result.append(input, pos, std::string::npos);
  output = std::move(result);
  return replaced;
}

int tv_file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? 1 : 0;
}
