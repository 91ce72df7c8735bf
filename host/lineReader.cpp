#include "lineReader.h"

#include <cerrno>
#include <ctime>

#include <poll.h>
#include <unistd.h>

LineReader::Result LineReader::Next(std::string& line, const sigset_t& wait_mask, int timeout_ms) {
  for (;;) {
    const size_t newline = buffer_.find('\n', scanned_);
    if (newline != std::string::npos) {
      line.assign(buffer_, start_, newline - start_);
      start_ = scanned_ = newline + 1;
      return Result::kLine;
    }
    // Lines already returned are dropped only now, once per read, so that a
    // chunk of many short lines is not moved once per line.
    buffer_.erase(0, start_);
    start_ = 0;
    scanned_ = buffer_.size();
    if (eof_) {
      if (buffer_.empty()) return Result::kEnd;
      line.swap(buffer_);  // a last line without a newline
      buffer_.clear();
      scanned_ = 0;
      return Result::kLine;
    }

    pollfd ready{fd_, POLLIN, 0};
    const timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    const int polled = ppoll(&ready, 1, &timeout, &wait_mask);
    if (polled < 0 && errno != EINTR) {
      eof_ = true;
      continue;
    }
    if (polled <= 0) return Result::kInterrupted;

    char chunk[65536];
    const ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return Result::kInterrupted;
    if (got <= 0) {
      eof_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}
