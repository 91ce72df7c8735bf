// The descriptor a plugin library exports as `tv_plugin_abi`, which the
// agent checks before it calls the plugin's factory: eight little-endian
// words, "ZLOK", the descriptor's size, the agent's major version, then the
// words the agent expects of a sink built against it.
#pragma once

#include <cstdint>

constexpr uint32_t tvAbiMagic = 0x4B4F4C5Au;  // "ZLOK" read as a little-endian word
constexpr uint32_t tvAbiSize = 32;            // bytes
constexpr uint32_t tvAgentMajor = 15;
constexpr uint32_t tvAbiWords = tvAbiSize / sizeof(uint32_t);
// The rest, as a sink of this agent version carries them.
constexpr uint32_t tvSinkAbiTail[tvAbiWords - 3] = {0x20230309u, 1, 0, 0x0B60u, 0x48u};
