// Parameterised INSERT text from one table schema.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// True when `column` takes a value in the INSERT statement: an object with a
// "name" that is not "id" and an "autoincrement" that is absent or false.
// The JSON library raises its type error for a non-boolean "autoincrement"
// or a non-string "name".
bool isInsertedColumn(const nlohmann::json& column);

// Returns "INSERT INTO <name> (<cols>) VALUES (?, ...)" listing the columns
// that isInsertedColumn accepts, in order; parameter n is the n-th listed
// column. Throws std::runtime_error "Table missing name" or "Table has no
// columns" for a schema without a string "name" or an array "columns".
std::string generateInsertSQL(const nlohmann::json& table);
