// tavrin-flowgen: writes aggregator payloads, one per line, for the host.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "flowPayloads.h"

namespace {

constexpr int kExitUsage = 2;
constexpr long long kIntervalSeconds = 60;

void usage(FILE* out) {
  std::fputs(
      "Usage: tavrin-flowgen [--payloads N] [--entries N] [--seed S] [--start EPOCH]\n"
      "Writes one-minute aggregator payloads of flow records to standard output, one\n"
      "per line, as tavrin-sink-host takes them.\n"
      "\n"
      "  --payloads N   payloads, one per interval (default: 3000)\n"
      "  --entries N    flow records in each payload (default: 20)\n"
      "  --seed S       the same seed and start give the same output (default: 1)\n"
      "  --start EPOCH  start of the first interval, in seconds since 1970 (default:\n"
      "                 the current minute less N minutes, so the last interval ends\n"
      "                 at the current minute)\n"
      "  -h, --help     this text\n"
      "  --version      the generator's version\n",
      out);
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "tavrin-flowgen: %s\nTry 'tavrin-flowgen --help' for more information.\n",
               message.c_str());
  return kExitUsage;
}

bool number(const char* text, unsigned long long& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long payloads = 3000, entries = 20, seed = 1, start = 0;
  bool start_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--version") {
      std::printf("tavrin-flowgen %s\n", TVS_VERSION);
      return 0;
    }
    if (option == "--help" || option == "-h") {
      usage(stdout);
      return 0;
    }
    unsigned long long* target = nullptr;
    if (option == "--payloads") target = &payloads;
    if (option == "--entries") target = &entries;
    if (option == "--seed") target = &seed;
    if (option == "--start") target = &start;
    if (target == nullptr) return usageError("unknown option " + option);
    if (i + 1 >= argc) return usageError("option " + option + " needs a value");
    if (!number(argv[++i], *target)) {
      return usageError(option + " takes an unsigned number, not \"" + argv[i] + "\"");
    }
    if (target == &start) start_given = true;
  }
  if (!start_given) {
    // The run's span ends at the current minute, as an agent that had
    // aggregated up to now would have written it.
    const long long now = static_cast<long long>(std::time(nullptr));
    const long long span = static_cast<long long>(payloads) * kIntervalSeconds;
    start = static_cast<unsigned long long>(now - now % kIntervalSeconds > span
                                                ? now - now % kIntervalSeconds - span
                                                : kIntervalSeconds);
  }
  FlowPayloadGenerator generator(seed, static_cast<long long>(start),
                                 static_cast<int>(kIntervalSeconds));
  for (unsigned long long i = 0; i < payloads; ++i) {
    const std::string line = generator.Next(entries);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  return 0;
}
