// The agent's base class of every plugin: identity, status and events.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tvThread.h"

class tvPlugin : public tvThread {
 public:
  // Events the agent sends to plugins; other values may be sent and are the
  // plugin's to ignore.
  enum Event : unsigned { EVENT_RELOAD = 0 };

  virtual void GetLibrary(std::string& library) = 0;
  virtual void GetName(std::string& name) = 0;
  virtual void GetVersion(std::string& version) = 0;
  // Fills the plugin's members of the agent's status document.
  virtual void GetStatus(nlohmann::json& status) = 0;
  // Prints the plugin's lines of a status document on standard output.
  virtual void DisplayStatus(const nlohmann::json& status) = 0;
  virtual void DispatchEvent(Event event, void* argument) = 0;
};
