// Finding the program that a command names, as a POSIX shell (and
// posix_spawnp) finds it: along PATH, the first executable file of that
// name. Paths are bytes, as the system has them.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace varnick::control {

// The file that `command` names, or nothing when none does. A command with
// a '/' in it is that file alone; a bare name is looked for in each folder
// of `path` (':'-separated; an empty folder is the current one, as the
// shell reads it), and the first file that `isExecutable` takes is it.
// Without PATH, the caller gives "/bin:/usr/bin", as posix_spawnp reads it.
std::optional<std::string> findOnPath(const std::string& command, const std::string& path,
                                      const std::function<bool(const std::string&)>& isExecutable);

}  // namespace varnick::control
