// Controls of the stand-in agent library that the real agent does not have:
// where log lines go. Used by the host program and by tests.
#pragma once

#include <functional>
#include <string>

enum class tvLogLevel { Operator, Debug };

// Receives every formatted log line, newline included, exactly as written.
using tvLogHandler = std::function<void(tvLogLevel level, const std::string& line)>;

// Installs `handler` for all threads and returns the previous one. A null
// handler restores the default: operator lines to standard error, debug lines
// dropped. Calls to the handler are serialised.
tvLogHandler tvSetLogHandler(tvLogHandler handler);
