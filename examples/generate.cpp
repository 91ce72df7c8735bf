// tavrin-flowgen: writes aggregator payloads, one per line, for the host.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "flowPayloads.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "Usage: tavrin-flowgen [--payloads N] [--entries N] [--seed S] [--start EPOCH] [--version]\n"
      "Writes N one-minute aggregator payloads (default 3000) of flow records\n"
      "(default 20 entries each) to standard output, one per line.\n",
      out);
}

bool number(const char* text, unsigned long long& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long payloads = 3000, entries = 20, seed = 1, start = 1765000000;
  for (int i = 1; i < argc; ++i) {
    unsigned long long* target = nullptr;
    if (!std::strcmp(argv[i], "--payloads")) target = &payloads;
    if (!std::strcmp(argv[i], "--entries")) target = &entries;
    if (!std::strcmp(argv[i], "--seed")) target = &seed;
    if (!std::strcmp(argv[i], "--start")) target = &start;
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("tavrin-flowgen %s\n", TVS_VERSION);
      return 0;
    }
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    }
    if (target == nullptr || i + 1 >= argc || !number(argv[++i], *target)) {
      usage(stderr);
      return 2;
    }
  }
  FlowPayloadGenerator generator(seed, static_cast<long long>(start));
  for (unsigned long long i = 0; i < payloads; ++i) {
    const std::string line = generator.Next(entries);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  return 0;
}
