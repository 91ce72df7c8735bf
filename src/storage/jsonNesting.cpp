#include "jsonNesting.h"

bool jsonNestsDeeperThan(const std::string& text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0, n = text.size(); i < n; ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) return true;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

std::string jsonNestingMessage() {
  return "arrays and objects nested deeper than " + std::to_string(kMaxJsonNesting) + " levels";
}
