// Runs the host binary as a child process for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class HostProcess {
 public:
  // Starts the host with `args`; its standard input is a pipe, its output
  // goes to files in `dir`.
  HostProcess(const std::vector<std::string>& args, const std::string& dir);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  void Write(const std::string& text);
  void CloseInput();
  void Signal(int signal_number);
  // Waits for the exit and returns the exit code (128 + signal when killed).
  int Wait();
  // Waits up to `seconds` for the process to exit by itself; true when it did.
  bool ExitsWithin(double seconds);

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid = -1;
  int input = -1;
  int status = -1;
  std::string out_path, err_path;
};

struct HostResult {
  int code;
  std::string out, err;
};

// Runs the host to completion with `input` on standard input.
HostResult RunHost(const std::vector<std::string>& args, const std::string& dir, const std::string& input = "");

// Polls `condition` every 10 ms for up to `seconds`.
bool Eventually(const std::function<bool()>& condition, double seconds = 10);
