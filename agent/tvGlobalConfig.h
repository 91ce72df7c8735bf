// The agent's global configuration, reachable from plugins.
#pragma once

#include <map>
#include <string>

class tvGlobalConfig {
 public:
  // The process's configuration; null while the agent has none.
  static tvGlobalConfig* instance;

  // Host variables, expanded in configured paths by tv_expand_variables.
  std::map<std::string, std::string> variables;
};
