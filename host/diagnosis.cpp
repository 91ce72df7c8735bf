#include "diagnosis.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace {

// The errno of opening `path` with `flags`, 0 when it opens.
int openError(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

std::string withReason(const std::string& path, int error) {
  return error == 0 ? "" : path + ": " + std::strerror(error);
}

}  // namespace

std::string systemReason(const std::string& error, const std::string& tag,
                         const std::string& config) {
  if (error == tag + ": error opening configuration: " + config)
    return withReason(config, openError(config, O_RDONLY));
  // "<channel>: cannot open DB: <path>: <SQLite's message>"
  const std::string marker = ": cannot open DB: ";
  const size_t at = error.find(marker);
  const size_t end = error.rfind(": ");
  if (at == std::string::npos || end <= at + marker.size()) return "";
  // The plugin's own refusal (a file another user may have planted) says
  // everything: the system would open that file.
  if (error.compare(end + 2, 8, "refused,") == 0) return "";
  const std::string path = error.substr(at + marker.size(), end - at - marker.size());
  const int opened = openError(path, O_RDWR);
  if (opened != ENOENT) return withReason(path, opened);
  // A new file: its directory must take it.
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  return access(directory.c_str(), W_OK | X_OK) == 0 ? "" : withReason(directory, errno);
}

std::set<std::string> disabledChannels(const std::string& config) {
  std::ifstream file(config);
  const nlohmann::json document =
      nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
  std::set<std::string> disabled;
  const auto channels = document.is_object() ? document.find("channels") : document.end();
  if (!document.is_object() || channels == document.end() || !channels->is_object())
    return disabled;
  for (const auto& channel : channels->items()) {
    const nlohmann::json& value = channel.value();
    if (!value.is_object()) continue;
    const auto enable = value.find("enable");
    if (enable != value.end() && enable->is_boolean() && !enable->get<bool>())
      disabled.insert(channel.key());
  }
  return disabled;
}

std::vector<std::string> undefinedVariables(const std::string& error,
                                            const std::map<std::string, std::string>& defined) {
  std::vector<std::string> names;
  for (size_t open = error.find("${"); open != std::string::npos; open = error.find("${", open)) {
    const size_t close = error.find('}', open + 2);
    if (close == std::string::npos) break;
    const std::string name = error.substr(open + 2, close - open - 2);
    if (!name.empty() && !defined.count(name) &&
        std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
    open = close + 1;
  }
  return names;
}
