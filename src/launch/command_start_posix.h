// The Linux session's command: found along PATH before anything starts, and
// started in a process group of its own, so that the session can end it
// and every process it started with one signal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"

namespace varnick::control {

// The command as given (its words are the bytes of the session's own
// arguments), and the file it was found as.
struct PosixCommand {
  std::vector<std::string> words;
  std::string program;
};

// Finds the command's program along PATH, as posix_spawnp will; or the
// message that says it was not found and nothing started.
Expected<PosixCommand, std::string> findPosixCommand(const std::vector<std::string>& words);

// A started command: its process, which leads its own process group, and
// whether it was handed the terminal's foreground.
struct StartedCommand {
  pid_t pid = -1;
  bool hasTerminal = false;
};

// Starts the command in a new process group with the signals' defaults and
// an empty mask. When standard input is the terminal whose foreground this
// process holds, the command's group gets the foreground before it runs,
// as a shell gives it: it may then read and set up the terminal, and
// Ctrl+C reaches it alone. The errno when it could not start.
Expected<StartedCommand, int> startPosixCommand(const PosixCommand& command);

// Gives the terminal's foreground back to this process's group, after a
// command that held it has ended.
void takeTerminalBack(const StartedCommand& command);

// What became of a started command, without waiting: its wait status once
// it has ended; nothing while it runs. A command that holds the terminal
// and is stopped (Ctrl+Z) is followed as a shell's job would be: the
// terminal goes back to this process's group, this process stops too, so
// that the shell that started it sees the job stopped, and once the shell
// continues it the command gets the terminal again (when this process has
// it) and is continued.
std::optional<int> reapOrFollowStop(const StartedCommand& command);

}  // namespace varnick::control
