// The readers of aggregator payloads, all filling a tvsAggregatePayload:
//  - tvsFastReader (fastReader.h), simdjson's, is the production path: it
//    reads every payload text first and gives up on what it may read
//    differently;
//  - readAggregatePayload, the JSON library's streaming reader, reads what
//    the fast reader gives up on, and is the reference the fast reader is
//    held to (the payload fuzz target compares the two on every input);
//  - readAggregateDocument serves the parsed-document entry point,
//    ProcessAggregateData.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "aggregatePayload.h"
#include "columnPlan.h"
#include "jsonParse.h"

// Parses `text` (comments allowed) into `payload`, keeping a member of the
// payload object, or of a "stats" element, exactly as the JSON library's own
// document would hold it: the last of duplicate keys wins. Raises the JSON
// library's parse errors unchanged (a zero byte in the text is one), and
// tvsNestingError for a stored value built deeper than kMaxJsonNesting.
// Members that nothing stores may nest at any depth and are not kept.
void readAggregatePayload(const std::string& text, const tvsColumnPlan& plan,
                          tvsAggregatePayload& payload);

// Takes the same values from a parsed document, which must outlive `payload`.
void readAggregateDocument(const nlohmann::json& document, const tvsColumnPlan& plan,
                           tvsAggregatePayload& payload);
