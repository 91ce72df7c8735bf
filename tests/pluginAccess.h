// Reaches into a plugin's private state for tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tvsPlugin.h"

class tvsPluginTestAccess {
 public:
  static void SetRowsAdded(tvsPlugin& plugin, int32_t rows) {
    std::lock_guard<std::mutex> guard(plugin.status_lock);
    plugin.rows_added = rows;
  }
  static std::vector<std::string> ChannelNames(tvsPlugin& plugin) {
    std::vector<std::string> names;
    for (const auto& channel : plugin.channels) names.push_back(channel.first);
    return names;
  }
  static const tvsChannelConfig& Defaults(tvsPlugin& plugin) { return plugin.defaults; }
  static const std::map<std::string, std::shared_ptr<tvsChannelConfig>>& Channels(
      tvsPlugin& plugin) {
    return plugin.channels;
  }
};
