// Runs the host binary as a child process for end-to-end tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

// Built with a sanitizer: memory figures mean nothing and preloaded
// libraries cannot go ahead of its runtime.
#if defined(TVS_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// How the child is started, beyond its arguments.
struct HostLaunch {
  long file_size_limit = -1;         // RLIMIT_FSIZE in bytes; writes past it fail with EFBIG
  long address_space_limit = -1;     // RLIMIT_AS in bytes; allocations past it fail
  bool unprivileged = false;         // when root, run as nobody so file modes apply
  int file_umask = -1;               // the child's umask, when 0 or more
  std::vector<std::string> env;      // NAME=VALUE entries added to the environment
  std::vector<std::string> wrapper;  // a command the host runs under, such as strace
};

class HostProcess {
 public:
  // Starts the host with `args`; its standard input is a pipe, its output
  // goes to files in `dir`.
  HostProcess(const std::vector<std::string>& args, const std::string& dir,
              const HostLaunch& launch = {});
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

  pid_t Pid() const { return pid; }
  std::string Stdout() const;
  std::string Stderr() const;
  // Peak resident memory of the exited child, in KiB.
  long PeakKib() const { return peak_kib; }

 private:
  void Reap(int raw, long max_rss);

  pid_t pid = -1;
  long peak_kib = 0;
  int input = -1;
  int status = -1;
  std::string out_path, err_path;
};

struct HostResult {
  int code;
  std::string out, err;
  long peak_kib;
};

// Runs the host to completion with `input` on standard input.
HostResult RunHost(const std::vector<std::string>& args, const std::string& dir,
                   const std::string& input = "", const HostLaunch& launch = {});

// Why a host run as uid 65534 (HostLaunch::unprivileged) cannot start here,
// or empty when it can (or when the tests do not run as root).
std::string UnprivilegedCannotRunHost();

// Polls `condition` every 10 ms for up to `seconds`.
bool Eventually(const std::function<bool()>& condition, double seconds = 10);
