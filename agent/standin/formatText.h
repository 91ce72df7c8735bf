// printf-style formatting into a string, for the stand-in's log and exception.
#pragma once

#include <cstdarg>
#include <string>

// Formats `format` with `args` (which it leaves unconsumed for the caller to end).
std::string formatText(const char* format, va_list args);
