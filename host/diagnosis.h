// What the host adds to the plugin's own messages for an operator: the
// system's reason behind a file the plugin could not open, and which channels
// the configuration turns off.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// For a worker error that names a file the plugin could not open (its
// configuration `config`, or a channel's database), the system's reason as
// "<path>: <strerror text>", found by trying the file the same way; empty
// when the error names no such file, the file opens now, or the plugin
// refused the file itself ("...: refused, ...").
std::string systemReason(const std::string& error, const std::string& tag,
                         const std::string& config);

// The channels of the configuration file `config` whose "enable" is false;
// empty when the file cannot be read or parsed (the plugin says why).
std::set<std::string> disabledChannels(const std::string& config);

// The names of the "${NAME}" references in `error` that `defined` lacks, each
// once, in the order they appear: a db_path whose variable was not defined
// keeps the reference as written, and the path named in the error shows it.
std::vector<std::string> undefinedVariables(const std::string& error,
                                            const std::map<std::string, std::string>& defined);
