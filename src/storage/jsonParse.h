// Parsing JSON text the way the plugin needs it: comments skipped, no zero
// byte taken for the end of the text, and no document nested deeper than the
// JSON library can copy and print.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

// Deepest nesting of arrays and objects the plugin builds into a value.
// Payloads and configurations nest a handful of levels; the JSON library's
// copies and serialisation recurse once per level.
constexpr size_t kMaxJsonNesting = 512;

// Raised for a value built deeper than kMaxJsonNesting.
class tvsNestingError : public std::runtime_error {
 public:
  tvsNestingError();
};

// Parses `text` into a document. Raises the JSON library's parse errors,
// and tvsNestingError as soon as the parser opens a level deeper than the
// limit, before that level is built.
nlohmann::json parseJsonDocument(const std::string& text);

// Checks the syntax of `text` without building anything, at any depth.
// Raises the JSON library's parse errors.
void checkJsonSyntax(const std::string& text);

// The JSON library stops reading at a zero byte as if the text ended there;
// JSON allows none outside strings (and none unescaped inside). Raises a
// parse error when `text` holds one. Called once the parser has accepted the
// text, so that the library's own message stands for every other fault.
void refuseZeroByte(const std::string& text);
