// The session's command, found and quoted as the Windows shell would run it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/unique_resource_win32.h"

namespace varnick::control {

// The command as it is started: the program's full path (cmd.exe for a
// batch file) and the whole command line.
struct CommandToRun {
  std::wstring application;
  std::wstring commandLine;
};

// Why a command cannot start; nothing has started then.
struct CommandRefusal {
  enum class Why {
    kNotFound,       // no file along PATH with PATHEXT is the program
    kArgumentUnsafe  // cmd.exe would read part of an argument of a batch file as its own
  };
  Why why = Why::kNotFound;
  std::string message;  // what was not found or refused, and that nothing started
};

// The command ready to start, or why not.
using PreparedCommand = Expected<CommandToRun, CommandRefusal>;

// Finds `command`'s program along PATH with PATHEXT, as the shell does, and
// builds its command line; a .cmd or .bat file runs through %ComSpec% with
// each argument quoted for cmd.exe.
PreparedCommand prepareCommand(const std::vector<std::wstring>& command);

// Starts the prepared command with this process's console and standard
// handles: its process, or the system's error code.
[[nodiscard]] Expected<UniqueHandle, std::uint32_t> startCommand(const CommandToRun& command);

}  // namespace varnick::control
