#include "hostProcess.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testSupport.h"

HostProcess::HostProcess(const std::vector<std::string>& args, const std::string& dir,
                         const HostLaunch& launch)
    : out_path(dir + "/host.out"), err_path(dir + "/host.err") {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv;
  std::vector<std::string> copies(launch.wrapper);
  copies.push_back(TVS_HOST_PATH);
  copies.insert(copies.end(), args.begin(), args.end());
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> env(launch.env);
  // Emptied before the child runs, so that nothing an earlier child wrote
  // there is read as this one's.
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid = fork();
  if (pid == 0) {
    for (std::string& entry : env) putenv(entry.data());
    dup2(pipe_fds[0], STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (launch.file_size_limit >= 0) {
      // Ignored, SIGXFSZ leaves the write to fail with EFBIG as on a full disk.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(launch.file_size_limit),
                         static_cast<rlim_t>(launch.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (launch.address_space_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(launch.address_space_limit),
                         static_cast<rlim_t>(launch.address_space_limit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (launch.file_umask >= 0) ::umask(static_cast<mode_t>(launch.file_umask));
    if (launch.unprivileged && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) {
        dprintf(STDERR_FILENO, "cannot become uid 65534: %s\n", strerror(errno));
        _exit(126);
      }
    }
    execvp(argv[0], argv.data());
    dprintf(STDERR_FILENO, "cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  close(out);
  close(err);
  close(pipe_fds[0]);
  input = pipe_fds[1];
  signal(SIGPIPE, SIG_IGN);
}

HostProcess::~HostProcess() {
  CloseInput();
  if (status < 0 && pid > 0) {
    kill(pid, SIGKILL);
    Wait();
  }
}

void HostProcess::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(input, text.data() + done, text.size() - done);
    if (wrote <= 0) return;
    done += static_cast<size_t>(wrote);
  }
}

void HostProcess::CloseInput() {
  if (input >= 0) close(input);
  input = -1;
}

void HostProcess::Signal(int signal_number) { kill(pid, signal_number); }

void HostProcess::Reap(int raw, long max_rss) {
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  peak_kib = max_rss;
}

int HostProcess::Wait() {
  if (status < 0) {
    int raw = 0;
    rusage usage{};
    wait4(pid, &raw, 0, &usage);
    Reap(raw, usage.ru_maxrss);
  }
  return status;
}

bool HostProcess::ExitsWithin(double seconds) {
  return Eventually(
      [this] {
        if (status >= 0) return true;
        int raw = 0;
        rusage usage{};
        if (wait4(pid, &raw, WNOHANG, &usage) != pid) return false;
        Reap(raw, usage.ru_maxrss);
        return true;
      },
      seconds);
}

std::string HostProcess::Stdout() const { return ReadFile(out_path); }
std::string HostProcess::Stderr() const { return ReadFile(err_path); }

HostResult RunHost(const std::vector<std::string>& args, const std::string& dir,
                   const std::string& input, const HostLaunch& launch) {
  HostProcess host(args, dir, launch);
  host.Write(input);
  host.CloseInput();
  const int code = host.Wait();
  return {code, host.Stdout(), host.Stderr(), host.PeakKib()};
}

bool Eventually(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

std::string UnprivilegedCannotRunHost() {
  if (geteuid() != 0) return "";
  const pid_t child = fork();
  if (child == 0) {
    const bool ok = setgid(65534) == 0 && setuid(65534) == 0 && access(TVS_HOST_PATH, X_OK) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return std::string("uid 65534 cannot reach ") + TVS_HOST_PATH +
         " (a checkout under a private home such as /root); the file modes are not tested";
}
