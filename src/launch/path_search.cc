#include "launch/path_search.h"

namespace varnick::control {

std::optional<std::string> findOnPath(const std::string& command, const std::string& path,
                                      const std::function<bool(const std::string&)>& isExecutable) {
  if (command.empty()) return std::nullopt;
  if (command.find('/') != std::string::npos) {
    if (isExecutable(command)) return command;
    return std::nullopt;
  }
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find(':', start);
    std::string candidate = path.substr(start, end == std::string::npos ? end : end - start);
    if (candidate.empty()) candidate = ".";
    if (candidate.back() != '/') candidate += '/';
    candidate += command;
    if (isExecutable(candidate)) return candidate;
    if (end == std::string::npos) return std::nullopt;
    start = end + 1;
  }
}

}  // namespace varnick::control
