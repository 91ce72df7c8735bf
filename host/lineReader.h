// Reads payload lines from a file descriptor without missing a signal.
#pragma once

#include <cstddef>
#include <string>

#include <signal.h>

class LineReader {
 public:
  // kTooLong: a line longer than the bound, or one that memory could not
  // hold, was dropped whole (up to its newline); the next call goes on after it.
  enum class Result { kLine, kEnd, kInterrupted, kTooLong };

  LineReader(int fd, size_t max_line_bytes) : fd_(fd), max_line_(max_line_bytes) {}

  // Returns the next line without its newline (kLine), kEnd after the last
  // one, or kInterrupted when a signal arrived or `timeout_ms` passed first.
  // Signals are unblocked only while waiting, to `wait_mask`, so one that
  // arrives between two calls is taken by the next wait instead of lost.
  Result Next(std::string& line, const sigset_t& wait_mask, int timeout_ms);

  // After kTooLong: whether memory ran out rather than the bound.
  bool OutOfMemory() const { return out_of_memory_; }

 private:
  // Drops what is buffered of the current line and every byte up to its
  // newline; true once the newline (or the end) has been passed.
  bool Discard();

  int fd_;
  size_t max_line_;
  std::string buffer_;
  size_t start_ = 0;    // where the next line begins in buffer_
  size_t scanned_ = 0;  // buffer_ holds no newline between start_ and here
  bool eof_ = false;
  bool discarding_ = false;  // inside a line that is being dropped
  bool out_of_memory_ = false;
};
