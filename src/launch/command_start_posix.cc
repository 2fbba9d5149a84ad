#include "launch/command_start_posix.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "launch/path_search.h"

namespace varnick::control {
namespace {

bool isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// Whether standard input is the terminal whose foreground this process's
// group holds: only then is the terminal this session's to hand over.
bool holdsTerminal() {
  return ::isatty(STDIN_FILENO) == 1 && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

// Owners of the spawn attributes and file actions.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

Expected<PosixCommand, std::string> findPosixCommand(const std::vector<std::string>& words) {
  const char* path = std::getenv("PATH");
  std::optional<std::string> program =
      findOnPath(words.front(), path ? path : "/bin:/usr/bin", isExecutableFile);
  if (!program) {
    return unexpected("the command '" + words.front() +
                      "' was not found along PATH, or is not executable; nothing was started");
  }
  return PosixCommand{words, std::move(*program)};
}

Expected<StartedCommand, int> startPosixCommand(const PosixCommand& command) {
  SpawnSetup setup;
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&setup.attributes, &signals);
  // What the session catches or ignores, the command meets as usual.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGTTOU})
    sigaddset(&signals, signal);
  posix_spawnattr_setsigdefault(&setup.attributes, &signals);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  posix_spawnattr_setflags(&setup.attributes, flags);
  StartedCommand started;
  started.hasTerminal = holdsTerminal();
  // The child takes the foreground itself, before it runs the command, so
  // that it never reads the terminal from the background.
  if (started.hasTerminal) posix_spawn_file_actions_addtcsetpgrp_np(&setup.actions, STDIN_FILENO);
  std::vector<char*> argv;
  argv.reserve(command.words.size() + 1);
  for (const std::string& word : command.words)
    argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const int error = ::posix_spawnp(&started.pid, command.words.front().c_str(), &setup.actions,
                                   &setup.attributes, argv.data(), environ);
  if (error != 0) return unexpected(error);
  return started;
}

namespace {

// Gives the terminal's foreground to `group`. From the background,
// tcsetpgrp raises SIGTTOU: it is blocked for the call. A terminal that has
// gone meanwhile has no foreground to give.
void giveTerminal(pid_t group) {
  sigset_t ttou;
  sigset_t before;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  ::sigprocmask(SIG_BLOCK, &ttou, &before);
  const int given = ::tcsetpgrp(STDIN_FILENO, group);
  (void)given;
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

void takeTerminalBack(const StartedCommand& command) {
  if (command.hasTerminal) giveTerminal(::getpgrp());
}

std::optional<int> reapOrFollowStop(const StartedCommand& command) {
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(command.pid, &status, WNOHANG | (command.hasTerminal ? WUNTRACED : 0));
  } while (reaped < 0 && errno == EINTR);
  // A command that is gone already (ECHILD) counts as ended with a failure.
  if (reaped < 0) return W_EXITCODE(127, 0);
  if (reaped == 0) return std::nullopt;
  if (!WIFSTOPPED(status)) return status;
  takeTerminalBack(command);
  ::raise(SIGSTOP);
  // Continued: in the foreground again (fg), the command gets the terminal.
  if (::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) giveTerminal(command.pid);
  ::kill(-command.pid, SIGCONT);
  return std::nullopt;
}

}  // namespace varnick::control
