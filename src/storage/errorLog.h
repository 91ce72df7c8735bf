// Failure lines of the storage code: logged like every other line, and kept
// as the last error of the channel that the worker is serving.
#pragma once

#include <string>

// Logs one line with tv_dprintf and, while a tvsErrorCapture lives on this
// thread, stores it (without its newline) in the capture's string. Returns
// the line without its newline.
std::string logChannelError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Directs logChannelError's lines into `last_error` for its lifetime.
class tvsErrorCapture {
 public:
  explicit tvsErrorCapture(std::string& last_error);
  ~tvsErrorCapture();
  tvsErrorCapture(const tvsErrorCapture&) = delete;
  tvsErrorCapture& operator=(const tvsErrorCapture&) = delete;

 private:
  std::string* previous;
};
