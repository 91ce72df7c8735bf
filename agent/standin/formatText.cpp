#include "formatText.h"

#include <cstdio>

std::string formatText(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    va_list write;
    va_copy(write, args);
    std::vsnprintf(text.data(), text.size() + 1, format, write);
    va_end(write);
  }
  return text;
}
