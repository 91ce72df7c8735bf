// The agent's exception type: a printf-style message behind std::exception.
#pragma once

#include <exception>
#include <string>

class tvException : public std::exception {
 public:
  explicit tvException(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};
