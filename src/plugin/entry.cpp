// The two symbols the agent looks up in the plugin library.
#include <cstdint>
#include <map>
#include <string>

#include "tvLog.h"
#include "tvPluginAbi.h"
#include "tvsPlugin.h"

#define TVS_EXPORT extern "C" __attribute__((visibility("default")))

TVS_EXPORT const uint32_t tv_plugin_abi[tvAbiWords] = {
    tvAbiMagic,       tvAbiSize,        tvAgentMajor,     tvSinkAbiTail[0],
    tvSinkAbiTail[1], tvSinkAbiTail[2], tvSinkAbiTail[3], tvSinkAbiTail[4],
};

TVS_EXPORT tvPluginSink* tvPluginInit(const std::string& tag,
                                      const std::map<std::string, std::string>& params) {
  tvsPlugin* plugin = new tvsPlugin(tag, params);
  if (plugin->plugin_type == 1 || plugin->plugin_type == 2) return plugin;
  tv_printf("Invalid plugin type: %s [%u]\n", tag.c_str(), plugin->plugin_type);
  delete plugin;
  return nullptr;
}
