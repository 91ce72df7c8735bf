// Reads payload lines from a file descriptor without missing a signal.
#pragma once

#include <string>

#include <signal.h>

class LineReader {
 public:
  enum class Result { kLine, kEnd, kInterrupted };

  explicit LineReader(int fd) : fd_(fd) {}

  // Returns the next line without its newline (kLine), kEnd after the last
  // one, or kInterrupted when a signal arrived or `timeout_ms` passed first.
  // Signals are unblocked only while waiting, to `wait_mask`, so one that
  // arrives between two calls is taken by the next wait instead of lost.
  Result Next(std::string& line, const sigset_t& wait_mask, int timeout_ms);

 private:
  int fd_;
  std::string buffer_;
  size_t start_ = 0;    // where the next line begins in buffer_
  size_t scanned_ = 0;  // buffer_ holds no newline between start_ and here
  bool eof_ = false;
};
