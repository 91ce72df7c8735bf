// Reads an aggregator payload's text straight into what the writer needs,
// without building the whole document: the two timestamps and, per "stats"
// element, the values of the mapped members. Members no column maps are
// checked for syntax and dropped.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "columnPlan.h"
#include "jsonParse.h"

struct tvsAggregatePayload {
  // False when the text is no object, or its "stats" is missing, not an
  // array, or empty: nothing to store.
  bool has_entries = false;
  bool has_start = false;
  bool has_end = false;
  nlohmann::json time_start;
  nlohmann::json time_end;
  size_t entries = 0;
  // entries x plan.Slots() values, row by row; null where an entry lacks the
  // member or is no object.
  std::vector<nlohmann::json> values;
};

// Parses `text` (comments allowed) into `payload`, keeping a member of the
// payload object, or of a "stats" element, exactly as the JSON library's own
// document would hold it: the last of duplicate keys wins. Raises the JSON
// library's parse errors unchanged (a zero byte in the text is one), and
// tvsNestingError for a stored value built deeper than kMaxJsonNesting.
// Members that nothing stores may nest at any depth.
void readAggregatePayload(const std::string& text, const tvsColumnPlan& plan,
                          tvsAggregatePayload& payload);
