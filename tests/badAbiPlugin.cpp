// A plugin library built for another agent version, which the host must refuse.
#include <cstdint>

extern "C" __attribute__((visibility("default")))
const uint32_t tv_plugin_abi[8] = {0x4B4F4C5Au, 32, 14, 0x20230309u, 1, 0, 0x0B60u, 0x48u};
