// The agent's logging and small file/variable helpers.
#pragma once

#include <map>
#include <string>

// Operator log: start-up banners and problems an operator must see.
void tv_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Debug log: routine and error lines of plugins.
void tv_dprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes `input` to `output` with every "${NAME}" replaced by the value of
// NAME in `variables`; an unknown variable, or a "${" without a closing brace,
// stays as written. Returns the number of variables replaced.
int tv_expand_variables(const std::string& input, std::string& output,
                        const std::map<std::string, std::string>& variables);

// Returns 1 when `path` names an existing file or directory, 0 otherwise.
int tv_file_exists(const std::string& path);
