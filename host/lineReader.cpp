#include "lineReader.h"

#include <cerrno>
#include <ctime>
#include <new>

#include <poll.h>
#include <unistd.h>

namespace {

// A buffer that once held a huge line is given back rather than kept.
constexpr size_t kKeptCapacity = size_t{4} << 20;

}  // namespace

bool LineReader::Discard() {
  const size_t newline = buffer_.find('\n', start_);
  if (newline == std::string::npos && !eof_) {
    buffer_.clear();
    start_ = scanned_ = 0;
    return false;
  }
  if (newline == std::string::npos) {
    buffer_.clear();
    start_ = scanned_ = 0;
  } else {
    start_ = scanned_ = newline + 1;
  }
  discarding_ = false;
  return true;
}

LineReader::Result LineReader::Next(std::string& line, const sigset_t& wait_mask, int timeout_ms) {
  if (line.capacity() > kKeptCapacity) std::string().swap(line);
  for (;;) {
    if (discarding_ && Discard()) return Result::kTooLong;
    const size_t newline = discarding_ ? std::string::npos : buffer_.find('\n', scanned_);
    if (newline != std::string::npos) {
      if (newline - start_ > max_line_) {
        out_of_memory_ = false;
        discarding_ = true;
        continue;
      }
      try {
        line.assign(buffer_, start_, newline - start_);
      } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        discarding_ = true;
        continue;
      }
      start_ = scanned_ = newline + 1;
      return Result::kLine;
    }
    // Lines already returned are dropped only now, once per read, so that a
    // chunk of many short lines is not moved once per line.
    buffer_.erase(0, start_);
    start_ = 0;
    scanned_ = buffer_.size();
    if (buffer_.capacity() > kKeptCapacity && buffer_.size() < kKeptCapacity / 2)
      buffer_.shrink_to_fit();
    if (!discarding_ && buffer_.size() > max_line_) {
      out_of_memory_ = false;
      discarding_ = true;
      continue;
    }
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
    try {
      buffer_.append(chunk, static_cast<size_t>(got));
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
      discarding_ = true;
      // What was read may hold the line's end: look for it there.
      buffer_.clear();
      buffer_.shrink_to_fit();
      buffer_.assign(chunk, static_cast<size_t>(got));
      start_ = scanned_ = 0;
    }
  }
}
