// The JSON library's readers of aggregator payloads, the reference for every
// other reader: one streams the text, one takes a parsed document.
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
