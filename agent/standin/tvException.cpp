#include "tvException.h"

#include <cstdarg>
#include <cstdio>

tvException::tvException(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length > 0) {
    message.resize(static_cast<size_t>(length));
    std::vsnprintf(message.data(), message.size() + 1, format, args);
  }
  va_end(args);
}
