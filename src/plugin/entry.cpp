// The two symbols the agent looks up in the plugin library.
#include <cstdint>
#include <map>
#include <string>

#include "tvLog.h"
#include "tvsPlugin.h"

#define TVS_EXPORT extern "C" __attribute__((visibility("default")))

// Eight little-endian words: "ZLOK", the descriptor's size, the agent's major
// version, then the words the agent expects of a sink built against it.
TVS_EXPORT const uint32_t tv_plugin_abi[8] = {
    0x4B4F4C5Au,  // "ZLOK" read as a little-endian word
    32,          15, 0x20230309u, 1, 0, 0x0B60u, 0x48u,
};

TVS_EXPORT tvPluginSink* tvPluginInit(const std::string& tag,
                                      const std::map<std::string, std::string>& params) {
  tvsPlugin* plugin = new tvsPlugin(tag, params);
  if (plugin->plugin_type == 1 || plugin->plugin_type == 2) return plugin;
  tv_printf("Invalid plugin type: %s [%u]\n", tag.c_str(), plugin->plugin_type);
  delete plugin;
  return nullptr;
}
