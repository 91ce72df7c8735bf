// A guard against JSON nested deeper than the JSON library can take: its
// parser and its copies recurse once per level, so a few hundred thousand
// brackets overflow the worker's stack.
#pragma once

#include <cstddef>
#include <string>

// Deepest nesting of arrays and objects the plugin parses. Payloads and
// configurations nest a handful of levels.
constexpr size_t kMaxJsonNesting = 512;

// True when `text` opens more than `limit` arrays or objects inside each
// other. Brackets inside strings do not count. Linear, allocation-free.
bool jsonNestsDeeperThan(const std::string& text, size_t limit = kMaxJsonNesting);

// The message for a text that jsonNestsDeeperThan refuses.
std::string jsonNestingMessage();
