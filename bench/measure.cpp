#include "measure.h"

#include <fstream>
#include <string>

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

}  // namespace

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Stopwatch::Stopwatch() {
  resetPeak();
  rss_start = statusMib("VmRSS");
  cpu_start = cpuSeconds();
  wall_start = std::chrono::steady_clock::now();
}

Measurement Stopwatch::Stop() const {
  Measurement m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  m.cpu_seconds = cpuSeconds() - cpu_start;
  m.peak_mib = statusMib("VmHWM") - rss_start;
  return m;
}
