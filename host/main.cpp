// tavrin-sink-host: loads the sink plugin the way the agent does, feeds it
// payload lines, and prints its status at the end.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <unistd.h>

#include "diagnosis.h"
#include "hostOptions.h"
#include "lineReader.h"
#include "payloadOutcomes.h"
#include "tvGlobalConfig.h"
#include "tvPluginAbi.h"
#include "tvPluginSink.h"
#include "tvStandin.h"

namespace {

constexpr int kExitWorkerFailed = 1;
constexpr int kExitUsage = 2;
// The run completed, but a payload failed, was dropped for a channel that is
// not configured (or disabled), or a line was skipped.
constexpr int kExitNotAllStored = 3;
// Failed payloads named one line each; later ones are only counted.
constexpr size_t kMaxFailureLines = 10;
// Payloads read ahead of the worker; more would only hold memory while the
// worker catches up.
constexpr size_t kMaxQueued = 64;

using PluginFactory = tvPluginSink* (*)(const std::string&,
                                        const std::map<std::string, std::string>&);

volatile sig_atomic_t reload_signalled = 0;
volatile sig_atomic_t stop_signalled = 0;

void onSignal(int signal_number) {
  if (signal_number == SIGHUP) {
    reload_signalled = 1;
  } else {
    stop_signalled = 1;
  }
}

// "1 payload", "2 payloads": a count and its noun.
std::string counted(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string programName(const char* argv0) {
  const char* slash = std::strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

// The plugin beside the host (a build tree), else where an installation puts
// it relative to the host's own directory.
std::string defaultPluginPath() {
  const char kPlugin[] = "libtavrin-sink-sqlite.so";
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return kPlugin;
  const std::string path(self, static_cast<size_t>(length));
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  if (access((dir + kPlugin).c_str(), F_OK) == 0) return dir + kPlugin;
  return dir + TVS_PLUGIN_FROM_BIN + "/" + kPlugin;
}

// Closes the plugin library when the host is done with it.
struct LibraryCloser {
  void operator()(void* library) const noexcept { dlclose(library); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

struct FdCloser {
  void operator()(int* fd) const noexcept {
    if (*fd > STDIN_FILENO) close(*fd);
    delete fd;
  }
};
using FdHandle = std::unique_ptr<int, FdCloser>;

// Checks the plugin's descriptor; returns an empty string when it fits.
std::string checkDescriptor(const void* symbol) {
  if (symbol == nullptr) return "it exports no tv_plugin_abi descriptor";
  uint32_t words[tvAbiWords];
  std::memcpy(words, symbol, sizeof words);
  if (words[0] != tvAbiMagic) return "its descriptor does not start with \"ZLOK\"";
  if (words[1] != tvAbiSize) {
    return "its descriptor has size " + std::to_string(words[1]) + ", not " +
           std::to_string(tvAbiSize);
  }
  if (words[2] != tvAgentMajor) {
    return "it was built for agent version " + std::to_string(words[2]) + ", not " +
           std::to_string(tvAgentMajor);
  }
  return "";
}

// Opens every payload file before the plugin starts, so a typo costs nothing.
bool openInputs(const HostOptions& options, std::vector<FdHandle>& inputs, std::string& error) {
  if (options.inputs.empty()) {
    inputs.emplace_back(new int(STDIN_FILENO));
    return true;
  }
  for (const std::string& name : options.inputs) {
    if (name == "-") {
      inputs.emplace_back(new int(STDIN_FILENO));
      continue;
    }
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot open payload file " + name + ": " + std::strerror(errno);
      return false;
    }
    inputs.emplace_back(new int(fd));
  }
  return true;
}

void installSignals(sigset_t& wait_mask) {
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGHUP);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  // Blocked everywhere (the plugin's thread inherits the mask) and taken only
  // while the reader waits for input.
  pthread_sigmask(SIG_BLOCK, &handled, &wait_mask);
  sigdelset(&wait_mask, SIGHUP);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The reader unblocks the signals only while it waits for input; lines that
// come faster than that would leave them pending. Taken here, they act on a
// busy input as well.
void takePendingSignals() {
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGHUP);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  const timespec no_wait{0, 0};
  for (int taken; (taken = sigtimedwait(&handled, nullptr, &no_wait)) > 0;) onSignal(taken);
}

// Dispatches a reload for SIGHUP; false once reading must stop (SIGINT,
// SIGTERM, or the worker has died).
bool actOnSignals(tvPluginSink& plugin) {
  takePendingSignals();
  if (reload_signalled) {
    reload_signalled = 0;
    plugin.DispatchEvent(tvPlugin::EVENT_RELOAD, nullptr);
  }
  return !stop_signalled && plugin.IsRunning();
}

// A progress line on a terminal, redrawn at most four times a second; nothing
// at all when standard error is a file or a pipe.
class ProgressLine {
 public:
  ProgressLine(tvPluginSink& plugin_, const std::string& program_)
      : plugin(plugin_), program(program_), shown(isatty(STDERR_FILENO) == 1) {}
  ~ProgressLine() {
    if (drawn) std::fputc('\n', stderr);
  }

  // Ends a drawn line, so that a message starts on a line of its own.
  void Break() {
    if (drawn) std::fputc('\n', stderr);
    drawn = false;
  }

  void Read() {
    ++read;
    if (!shown) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(250)) return;
    last = now;
    nlohmann::json status = nlohmann::json::object();
    plugin.GetStatus(status);
    uint64_t written = 0;
    for (const auto& channel : status.value("channels", nlohmann::json::object()))
      written += channel.value("payloads", uint64_t{0});
    const int64_t rows = status.value("entries", int64_t{0});
    const double seconds = std::chrono::duration<double>(now - start).count();
    std::fprintf(stderr, "\r%s: %s read, %llu written, %.0f rows/s ", program.c_str(),
                 counted(read, "payload").c_str(), static_cast<unsigned long long>(written),
                 seconds > 0 ? static_cast<double>(rows) / seconds : 0.0);
    drawn = true;
  }

 private:
  tvPluginSink& plugin;
  const std::string& program;
  const bool shown;
  bool drawn = false;
  uint64_t read = 0;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last = start;
};

// The names of the payload inputs as messages give them.
std::vector<std::string> inputNames(const HostOptions& options) {
  if (options.inputs.empty()) return {"standard input"};
  std::vector<std::string> names;
  for (const std::string& name : options.inputs)
    names.push_back(name == "-" ? "standard input" : name);
  return names;
}

// Lines refused before they were queued, by reason.
struct SkippedLines {
  uint64_t too_long = 0;
  uint64_t out_of_memory = 0;
  uint64_t Total() const { return too_long + out_of_memory; }
};

// Queues every line of every input until the input ends, a stop signal
// arrives or the plugin's worker has died. SIGHUP dispatches a reload. A line
// that is too long, or that memory cannot hold, is refused with a message.
// Without -d, each failed payload is named by its line as its outcome comes.
// Returns the lines skipped.
SkippedLines feedPayloads(tvPluginSink& plugin, const HostOptions& options,
                          const std::string& program, const std::vector<FdHandle>& inputs,
                          const sigset_t& wait_mask, PayloadOutcomes& outcomes) {
  const std::set<std::string> channels(options.channels.begin(), options.channels.end());
  const std::vector<std::string> names = inputNames(options);
  std::string line;
  SkippedLines skipped;
  ProgressLine progress(plugin, program);
  const auto report = [&] {
    if (options.debug) return;
    std::vector<std::string> reports = outcomes.TakeReports();
    if (reports.empty()) return;
    progress.Break();
    for (const std::string& text : reports)
      std::fprintf(stderr, "%s: %s\n", program.c_str(), text.c_str());
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string& input_name = names[i];
    LineReader reader(*inputs[i], options.max_line_bytes);
    size_t number = 0;
    for (;;) {
      const LineReader::Result result = reader.Next(line, wait_mask, 200);
      report();
      if (!actOnSignals(plugin)) return skipped;
      if (result == LineReader::Result::kEnd) break;
      if (result == LineReader::Result::kTooLong) {
        ++number;
        progress.Break();
        if (reader.OutOfMemory()) {
          ++skipped.out_of_memory;
          std::fprintf(stderr, "%s: %s, line %zu: skipped, out of memory\n", program.c_str(),
                       input_name.c_str(), number);
        } else {
          ++skipped.too_long;
          std::fprintf(stderr,
                       "%s: %s, line %zu: skipped, longer than %zu bytes (--max-line-bytes)\n",
                       program.c_str(), input_name.c_str(), number, options.max_line_bytes);
        }
        continue;
      }
      if (result != LineReader::Result::kLine) continue;
      ++number;
      // A file with CRLF line ends: the CR is no part of the payload, and a
      // line that held only a CR is an empty line.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      // A full queue waits for the worker; signals still act meanwhile.
      while (!plugin.WaitForQueueBelow(kMaxQueued, 100)) {
        report();
        if (!actOnSignals(plugin)) return skipped;
      }
      std::shared_ptr<tvPluginSinkPayload> payload;
      try {
        payload = std::make_shared<tvPluginSinkPayload>(line.data(), line.size(), channels);
      } catch (const std::bad_alloc&) {
        ++skipped.out_of_memory;
        progress.Break();
        std::fprintf(stderr, "%s: %s, line %zu: skipped, out of memory\n", program.c_str(),
                     input_name.c_str(), number);
        continue;
      }
      outcomes.Queued(i, number);
      plugin.QueuePayload(payload);
      progress.Read();
    }
  }
  return skipped;
}

// Tells, before the first payload, which -C channels the configuration does
// not have or turns off: their payloads would only cost a debug line each.
// Payloads the channels hold for another try, by the plugin's status.
uint64_t heldPayloads(tvPluginSink& plugin) {
  nlohmann::json status = nlohmann::json::object();
  plugin.GetStatus(status);
  uint64_t held = 0;
  for (const auto& channel : status.value("channels", nlohmann::json::object()))
    held += channel.value("held", uint64_t{0});
  return held;
}

// At the end of the input, payloads held after a transient failure (a busy
// database, a full disk) are still to be stored: the run waits for them as
// it waits for the queue, until SIGINT or SIGTERM gives them their last try.
void waitForHeldPayloads(tvPluginSink& plugin, const std::string& program) {
  bool told = false;
  for (uint64_t held; actOnSignals(plugin) && (held = heldPayloads(plugin)) > 0;) {
    if (!told) {
      std::fprintf(stderr,
                   "%s: end of input; waiting for %s held for another try "
                   "(SIGINT or SIGTERM stops waiting)\n",
                   program.c_str(), counted(held, "payload").c_str());
      told = true;
    }
    const timespec tenth{0, 100000000};
    nanosleep(&tenth, nullptr);
  }
}

void warnUnknownChannels(tvPluginSink& plugin, const HostOptions& options,
                         const std::string& program) {
  if (!plugin.WaitUntilIdle()) return;  // the first load failed; the worker says why
  nlohmann::json status = nlohmann::json::object();
  plugin.GetStatus(status);
  const auto configured = status.find("channels");
  if (configured == status.end() || !configured->is_object()) return;
  const std::set<std::string> disabled = disabledChannels(options.config);
  for (const std::string& channel :
       std::set<std::string>(options.channels.begin(), options.channels.end())) {
    if (configured->contains(channel)) continue;
    std::fprintf(stderr, "%s: warning: channel %s is %s; its payloads are dropped\n",
                 program.c_str(), channel.c_str(),
                 disabled.count(channel) ? "disabled in the configuration" : "not configured");
  }
}

// What was skipped, as one clause: "4 lines skipped, longer than 200 bytes
// (--max-line-bytes)".
std::string skippedClause(const SkippedLines& skipped, size_t max_line_bytes) {
  const std::string too_long =
      "longer than " + std::to_string(max_line_bytes) + " bytes (--max-line-bytes)";
  const std::string text = counted(skipped.Total(), "line") + " skipped";
  if (skipped.out_of_memory == 0) return text + ", " + too_long;
  if (skipped.too_long == 0) return text + ", out of memory";
  return text + ": " + std::to_string(skipped.too_long) + " " + too_long + ", " +
         std::to_string(skipped.out_of_memory) + " out of memory";
}

// One line per channel from the status counters, so that failures show
// without the debug log, and one per -C channel that was not configured,
// with the payloads dropped for it and those that failed on it before a
// reload removed it. Then whatever else makes the run's exit status 3:
// failures the counters no longer hold (a reload started them again) and
// skipped lines.
void printSummary(const nlohmann::json& status, const std::string& program,
                  const HostOptions& options, const std::map<std::string, uint64_t>& dropped,
                  const PayloadOutcomes& outcomes, const SkippedLines& skipped) {
  const uint64_t failed_in_run = outcomes.Failed();
  const std::map<std::string, uint64_t> failed_on = outcomes.FailedOn();
  uint64_t failed_counted = 0;
  std::map<std::string, std::string> lines;
  const auto channels = status.find("channels");
  if (channels != status.end() && channels->is_object()) {
    for (const auto& channel : channels->items()) {
      const std::string& name = channel.key();
      const nlohmann::json& counts = channel.value();
      const auto number = [&](const char* key) { return counts.value(key, uint64_t{0}); };
      const uint64_t payloads = number("payloads"), failed = number("failed"),
                     empty = number("empty");
      failed_counted += failed;
      std::string line = program + ": channel " + name + ": " + counted(payloads, "payload") +
                         ", " + std::to_string(payloads - failed - empty) + " stored, " +
                         std::to_string(failed) + " failed, " + std::to_string(empty) + " empty, " +
                         counted(number("rows"), "row");
      for (const char* key : {"held", "dropped"}) {
        if (number(key) > 0) line += ", " + std::to_string(number(key)) + " " + key;
      }
      const auto last_error = counts.find("last_error");
      if (failed > 0 && last_error != counts.end() && last_error->is_string())
        line += "; last error: " + last_error->get<std::string>();
      const auto lost = dropped.find(name);
      if (lost != dropped.end())
        line += "; " + counted(lost->second, "payload") + " dropped while not configured";
      lines[name] = line;
    }
  }
  if (status.is_object()) {
    const std::set<std::string> disabled = disabledChannels(options.config);
    for (const std::string& name : options.channels) {
      if (lines.count(name)) continue;
      const auto lost = dropped.find(name);
      lines[name] = program + ": channel " + name + ": " +
                    (disabled.count(name) ? "disabled" : "not configured") + ", " +
                    counted(lost == dropped.end() ? 0 : lost->second, "payload") + " dropped";
      const auto failed = failed_on.find(name);
      if (failed != failed_on.end()) {
        failed_counted += failed->second;
        lines[name] +=
            ", " + counted(failed->second, "payload") + " failed while it was configured";
      }
    }
  }
  for (const auto& entry : lines) std::fprintf(stderr, "%s\n", entry.second.c_str());
  if (status.is_object() && failed_in_run > failed_counted) {
    std::fprintf(stderr, "%s: %s failed before the last reload; the counts above start there\n",
                 program.c_str(), counted(failed_in_run - failed_counted, "payload").c_str());
  }
  if (skipped.Total() > 0) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(),
                 skippedClause(skipped, options.max_line_bytes).c_str());
  }
}

int run(const HostOptions& options, const std::string& program) {
  std::vector<FdHandle> inputs;
  std::string error;
  if (!openInputs(options, inputs, error)) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return kExitUsage;
  }

  const std::string plugin_path = options.plugin.empty() ? defaultPluginPath() : options.plugin;
  LibraryHandle library(dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!library) {
    std::fprintf(stderr, "%s: cannot load plugin %s: %s\n", program.c_str(), plugin_path.c_str(),
                 dlerror());
    return kExitUsage;
  }
  const std::string mismatch = checkDescriptor(dlsym(library.get(), "tv_plugin_abi"));
  if (!mismatch.empty()) {
    std::fprintf(stderr, "%s: incompatible plugin %s: %s\n", program.c_str(), plugin_path.c_str(),
                 mismatch.c_str());
    return kExitUsage;
  }
  const auto factory = reinterpret_cast<PluginFactory>(dlsym(library.get(), "tvPluginInit"));
  if (factory == nullptr) {
    std::fprintf(stderr, "%s: incompatible plugin %s: it exports no tvPluginInit\n",
                 program.c_str(), plugin_path.c_str());
    return kExitUsage;
  }

  tvGlobalConfig global;
  global.variables = options.variables;
  tvGlobalConfig::instance = &global;
  const bool debug = options.debug;
  tvSetLogHandler([debug](tvLogLevel level, const std::string& line) {
    if (level == tvLogLevel::Operator || debug) std::fputs(line.c_str(), stderr);
  });

  sigset_t wait_mask;
  installSignals(wait_mask);
  PayloadOutcomes outcomes(std::set<std::string>(options.channels.begin(), options.channels.end()),
                           inputNames(options), kMaxFailureLines);

  const std::map<std::string, std::string> params = {{"config", options.config},
                                                     {"type", std::to_string(options.type)}};
  std::unique_ptr<tvPluginSink> plugin(factory(options.tag, params));
  if (!plugin) {
    std::fprintf(stderr, "%s: the plugin refused to start (type %u)\n", program.c_str(),
                 options.type);
    return kExitUsage;
  }
  tvPluginSink& sink = *plugin;
  plugin->SetWorkerObserver(
      [&outcomes, &sink](tvPluginSink::WorkerTurn turn) { outcomes.Observe(sink, turn); });
  if (plugin->Create() != 0) {
    std::fprintf(stderr, "%s: cannot start the plugin's thread\n", program.c_str());
    return kExitUsage;
  }

  warnUnknownChannels(*plugin, options, program);
  const SkippedLines skipped = feedPayloads(*plugin, options, program, inputs, wait_mask, outcomes);
  plugin->WaitUntilIdle();
  waitForHeldPayloads(*plugin, program);
  plugin->Terminate();
  plugin->Join();
  // The worker has ended: what it counted last is settled here.
  outcomes.Observe(*plugin, tvPluginSink::WorkerTurn::kQueueEmpty);
  if (!options.debug) {
    for (const std::string& report : outcomes.TakeReports())
      std::fprintf(stderr, "%s: %s\n", program.c_str(), report.c_str());
    if (outcomes.Unlisted() > 0) {
      std::fprintf(stderr, "%s: %llu more failed %s not listed (-d logs every failure)\n",
                   program.c_str(), static_cast<unsigned long long>(outcomes.Unlisted()),
                   outcomes.Unlisted() == 1 ? "payload" : "payloads");
    }
  }

  int status = 0;
  nlohmann::json summary;
  if (plugin->EndedWithError()) {
    status = kExitWorkerFailed;
    const std::string reason = systemReason(plugin->EntryError(), options.tag, options.config);
    if (!reason.empty()) std::fprintf(stderr, "%s: %s\n", program.c_str(), reason.c_str());
    for (const std::string& name : undefinedVariables(plugin->EntryError(), options.variables)) {
      std::fprintf(stderr, "%s: %s is not defined; define it with -D %s=DIR\n", program.c_str(),
                   name.c_str(), name.c_str());
    }
  } else {
    // As the agent does: the document travels as text before it is shown.
    nlohmann::json document = nlohmann::json::object();
    plugin->GetStatus(document);
    const nlohmann::json parsed = nlohmann::json::parse(document.dump());
    std::fflush(stdout);
    plugin->DisplayStatus(parsed);
    if (options.status_json) std::printf("%s\n", parsed.dump(2).c_str());
    summary = parsed;
  }
  std::fflush(stdout);
  plugin.reset();
  tvSetLogHandler(nullptr);
  tvGlobalConfig::instance = nullptr;
  const std::map<std::string, uint64_t> dropped = outcomes.Dropped();
  printSummary(summary, program, options, dropped, outcomes, skipped);
  if (status == 0 && (outcomes.Failed() > 0 || !dropped.empty() || skipped.Total() > 0))
    status = kExitNotAllStored;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = programName(argv[0]);
  HostOptions options;
  std::string error;
  if (!parseHostOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                 error.c_str(), program.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(hostUsage(program).c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s %s\n", program.c_str(), TVS_VERSION);
    return 0;
  }
  return run(options, program);
}
