// The session's command, found and quoted as the Windows shell would run it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace varnick::control {

// The command as it is started: the program's full path (cmd.exe for a
// batch file) and the whole command line.
struct CommandToRun {
  std::wstring application;
  std::wstring commandLine;
};

// Finds `command`'s program along PATH with PATHEXT, as the shell does, and
// builds its command line; a .cmd or .bat file runs through %ComSpec% with
// each argument quoted for cmd.exe. Nothing, a report and `failure` set when
// the program is not found (127) or an argument cannot reach a batch file
// safely (120): nothing has started then.
std::optional<CommandToRun> prepareCommand(const std::vector<std::wstring>& command, int& failure);

}  // namespace varnick::control
