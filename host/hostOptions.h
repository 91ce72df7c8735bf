// Command line of the stand-in host.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

struct HostOptions {
  std::string config;
  std::vector<std::string> channels;
  std::string plugin;  // empty: the plugin beside the host binary, else the installed one
  std::string tag = "sink-sqlite";
  unsigned type = 1;
  std::map<std::string, std::string> variables;
  bool debug = false;
  bool status_json = false;
  // Longer lines are refused with a message; the next line is read as usual.
  size_t max_line_bytes = size_t{256} << 20;
  bool help = false;
  bool version = false;
  std::vector<std::string> inputs;  // empty: standard input
};

// Fills `options` from the command line. Returns false with a message in
// `error` on a usage error.
bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error);

std::string hostUsage(const std::string& program);
