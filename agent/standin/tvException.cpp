#include "tvException.h"

#include <cstdarg>

#include "formatText.h"

tvException::tvException(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message = formatText(format, args);
  va_end(args);
}
