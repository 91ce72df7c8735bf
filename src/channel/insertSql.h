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

// The same statement for `rows` rows at once (1 or more): "INSERT INTO
// <name> (<cols>) VALUES (?, ...), (?, ...)", row r's parameters following
// row r - 1's. SQLite inserts the rows in their order, and a failing row
// fails the statement with the message it would have failed alone with.
std::string generateGroupedInsertSQL(const nlohmann::json& table, size_t rows);
