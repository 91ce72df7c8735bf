// Terminal decorations the agent puts in front of status lines.
#pragma once

class tvTerm {
 public:
  struct Icon {
    static const char* const INFO;
  };
};
