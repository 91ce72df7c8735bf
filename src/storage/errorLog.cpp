#include "errorLog.h"

#include <cstdarg>
#include <cstdio>

#include "tvLog.h"

namespace {

thread_local std::string* capture = nullptr;

}  // namespace

tvsErrorCapture::tvsErrorCapture(std::string& last_error) : previous(capture) {
  capture = &last_error;
}

tvsErrorCapture::~tvsErrorCapture() { capture = previous; }

std::string logChannelError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(line.data(), line.size() + 1, format, args);
  va_end(args);
  tv_dprintf("%s", line.c_str());
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (capture != nullptr) *capture = line;
  return line;
}
