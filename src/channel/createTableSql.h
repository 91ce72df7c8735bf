// CREATE TABLE text from a channel's table schemas.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Returns one "CREATE TABLE IF NOT EXISTS" statement per table schema of
// `tables`, in array order, concatenated with nothing in between, and prints
// "Found table: <name>" on standard output for each. Throws tvException when
// `tables` is not a non-empty array or a schema lacks a required key; the JSON
// library's type errors pass through unchanged.
std::string generateCreateTableSQL(const nlohmann::json& tables);
