#include "hostOptions.h"

#include <cerrno>
#include <cstdlib>

#include <getopt.h>

namespace {

bool parseUnsigned(const char* text, unsigned& value) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFul) return false;
  value = static_cast<unsigned>(parsed);
  return true;
}

}  // namespace

std::string hostUsage(const std::string& program) {
  return "Usage: " + program +
         " -c CONFIG -C CHANNEL [-C CHANNEL ...] [options] [PAYLOAD_FILE ...]\n"
         "\n"
         "Loads the SQLite sink plugin the way the Tavrin agent does and queues every line of\n"
         "the payload files (standard input when none is given, or for \"-\") as one payload\n"
         "addressed to the given channels. Empty lines are skipped (a CR before the newline\n"
         "is dropped first). At the end of input it waits until every payload has been\n"
         "written, stops the plugin and prints its status.\n"
         "\n"
         "Options:\n"
         "  -c, --config FILE         plugin configuration file (required)\n"
         "  -C, --channel NAME        channel every payload is addressed to; repeatable: each\n"
         "                            payload carries the set of all channels given\n"
         "  -p, --plugin FILE         plugin library to load (default: libtavrin-sink-sqlite.so\n"
         "                            beside the host binary, else the installed one in\n"
         "                            <libdir>/tavrin/plugins)\n"
         "  -t, --tag TAG             plugin tag (default: sink-sqlite)\n"
         "      --type N              plugin type handed to the factory (default: 1)\n"
         "  -D, --define NAME=VALUE   host variable: \"${NAME}\" in a configured db_path expands\n"
         "                            to VALUE; repeatable\n"
         "  -d, --debug               write the plugin's debug log to standard error\n"
         "      --status-json         print the whole status document at the end\n"
         "      --max-line-bytes N    refuse payload lines longer than N bytes (default:\n"
         "                            268435456, 256 MiB)\n"
         "  -h, --help                this text\n"
         "      --version             the host's version\n"
         "\n"
         "Signals: SIGHUP reloads the configuration; SIGINT and SIGTERM stop reading input\n"
         "(what was queued is still written).\n"
         "Failed payloads are named by input and line (up to ten; -d logs every failure).\n"
         "\n"
         "Exit status: 0 every payload was stored (or had nothing to store);\n"
         "1 the plugin's worker failed: a configuration file that is missing, unreadable\n"
         "or invalid, or a database that cannot be opened; 2 a usage or loading error;\n"
         "3 the run completed, but payloads failed, were dropped for a channel that is\n"
         "not configured or is disabled, or were skipped. The summary's last lines say\n"
         "which.\n";
}

bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error) {
  enum { kType = 1000, kStatusJson, kMaxLineBytes, kVersion };
  static const option long_options[] = {
      {"config", required_argument, nullptr, 'c'},
      {"channel", required_argument, nullptr, 'C'},
      {"plugin", required_argument, nullptr, 'p'},
      {"tag", required_argument, nullptr, 't'},
      {"type", required_argument, nullptr, kType},
      {"define", required_argument, nullptr, 'D'},
      {"debug", no_argument, nullptr, 'd'},
      {"status-json", no_argument, nullptr, kStatusJson},
      {"max-line-bytes", required_argument, nullptr, kMaxLineBytes},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0}};

  opterr = 0;
  optind = 1;
  int option_char;
  while ((option_char = getopt_long(argc, argv, ":c:C:p:t:D:dh", long_options, nullptr)) != -1) {
    switch (option_char) {
      case 'c':
        options.config = optarg;
        break;
      case 'C':
        options.channels.push_back(optarg);
        break;
      case 'p':
        options.plugin = optarg;
        break;
      case 't':
        options.tag = optarg;
        break;
      case kType:
        if (!parseUnsigned(optarg, options.type)) {
          error = std::string("--type takes an unsigned number, not \"") + optarg + "\"";
          return false;
        }
        break;
      case 'D': {
        const std::string definition = optarg;
        const size_t equals = definition.find('=');
        if (equals == std::string::npos || equals == 0) {
          error = "--define takes NAME=VALUE, not \"" + definition + "\"";
          return false;
        }
        options.variables[definition.substr(0, equals)] = definition.substr(equals + 1);
        break;
      }
      case 'd':
        options.debug = true;
        break;
      case kMaxLineBytes: {
        errno = 0;
        char* end = nullptr;
        const unsigned long long bytes = std::strtoull(optarg, &end, 10);
        if (*optarg < '1' || *optarg > '9' || errno != 0 || *end != '\0') {
          error = std::string("--max-line-bytes takes a positive number, not \"") + optarg + "\"";
          return false;
        }
        options.max_line_bytes = static_cast<size_t>(bytes);
        break;
      }
      case kStatusJson:
        options.status_json = true;
        break;
      case 'h':
        options.help = true;
        return true;
      case kVersion:
        options.version = true;
        return true;
      case ':':
        error = std::string("option ") + argv[optind - 1] + " needs a value";
        return false;
      default:
        error = std::string("unknown option ") + argv[optind - 1];
        return false;
    }
  }
  for (int i = optind; i < argc; ++i) options.inputs.push_back(argv[i]);
  if (options.config.empty()) {
    error = "a configuration file is required (-c FILE)";
    return false;
  }
  if (options.channels.empty()) {
    error = "at least one channel is required (-C NAME)";
    return false;
  }
  return true;
}
