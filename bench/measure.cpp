#include "measure.h"

#include <fstream>
#include <string>

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Linux resets VmHWM to the current resident size when "5" is written to
// clear_refs, so each stretch gets a peak of its own.
void resetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// A "Vm...:" line of /proc/self/status, in MiB.
double statusMib(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
  }
  return 0;
}

double seconds(const timeval& user, const timeval& system) {
  return static_cast<double>(user.tv_sec + system.tv_sec) +
         static_cast<double>(user.tv_usec + system.tv_usec) / 1e6;
}

rusage processUsage() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);  // the sum over every thread of the process
  return usage;
}

}  // namespace

double cpuSeconds() {
  const rusage usage = processUsage();
  return seconds(usage.ru_utime, usage.ru_stime);
}

InstructionCounter::InstructionCounter() {
  perf_event_attr attr{};
  attr.size = sizeof(attr);
  attr.type = PERF_TYPE_HARDWARE;
  attr.config = PERF_COUNT_HW_INSTRUCTIONS;
  attr.disabled = 1;
  attr.inherit = 1;  // threads started later count into this counter
  attr.exclude_kernel = 1;
  attr.exclude_hv = 1;
  attr.read_format = PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
  fd = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

InstructionCounter::~InstructionCounter() {
  if (fd >= 0) close(fd);
}

// Value, time enabled and time running, summed over the copies the started
// threads inherited; false when the counter is closed or the read fails.
bool InstructionCounter::Read(uint64_t (&values)[3]) const {
  return fd >= 0 && read(fd, values, sizeof(values)) == static_cast<ssize_t>(sizeof(values));
}

void InstructionCounter::Enable() {
  if (!Read(start)) return;
  // An ioctl on the counter reaches the inherited copies as well.
  ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
}

std::optional<double> InstructionCounter::Disable() {
  if (fd < 0) return std::nullopt;
  ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
  uint64_t end[3] = {};
  if (!Read(end)) return std::nullopt;
  const double count = static_cast<double>(end[0] - start[0]);
  const double enabled = static_cast<double>(end[1] - start[1]);
  const double running = static_cast<double>(end[2] - start[2]);
  if (running <= 0) return std::nullopt;
  return running < enabled ? count * enabled / running : count;
}

Stopwatch::Stopwatch(InstructionCounter* instruction_counter) : counter(instruction_counter) {
  resetPeak();
  rss_start = statusMib("VmRSS");
  usage_start = processUsage();
  if (counter) counter->Enable();
  wall_start = std::chrono::steady_clock::now();
}

Measurement Stopwatch::Stop() const {
  Measurement m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  if (counter) m.instructions = counter->Disable();
  const rusage usage = processUsage();
  m.cpu_seconds =
      seconds(usage.ru_utime, usage.ru_stime) - seconds(usage_start.ru_utime, usage_start.ru_stime);
  m.page_faults = static_cast<double>((usage.ru_minflt + usage.ru_majflt) -
                                      (usage_start.ru_minflt + usage_start.ru_majflt));
  m.context_switches = static_cast<double>((usage.ru_nvcsw + usage.ru_nivcsw) -
                                           (usage_start.ru_nvcsw + usage_start.ru_nivcsw));
  m.peak_mib = statusMib("VmHWM") - rss_start;
  return m;
}
