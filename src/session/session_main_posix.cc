// varnick-session on Linux: hosts entries that last exactly as long as a
// command.
//
//   varnick-session [options] (--add ENTRY | --hosts-file PATH) ...
//                   [--for DURATION | -- COMMAND ...]
//   varnick-session --recover | --clean | --status | --help | --version
//
// Starts its own privileged half as root (directly when it runs as root,
// else through sudo), adds the entries, runs the command and waits for it,
// then shuts the half down, which takes the session's lines out of
// /etc/hosts. The program's main (src/app/session_main_posix.cc) runs the
// half itself when started as `varnick-session --privileged-half`.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "base/wide_text.h"
#include "launch/command_start_posix.h"
#include "session/half_start_posix.h"
#include "session/linux_refusals.h"
#include "session/session_entries.h"
#include "session/session_events.h"
#include "session/session_exit_codes.h"
#include "session/session_command_line.h"
#include "session/session_help.h"
#include "session/session_options.h"
#include "session/session_output.h"
#include "session/recover_and_clean.h"
#include "session/session_main.h"
#include "session/session_posix.h"
#include "session/session_signals_posix.h"
#include "status/session_status_posix.h"

namespace varnick::control {

void keepStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

namespace {

// The arguments as text for the parser. One that is not UTF-8 stands as a
// replacement character: the command's words are taken from argv as they
// are, and any other such argument is refused once the parser has said
// where the command starts.
std::vector<std::wstring> argumentsAsText(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i)
    arguments.push_back(utf8ToWide(argv[i]).value_or(L"\uFFFD"));
  return arguments;
}

// The first argument before the command that is not UTF-8 text, if any.
std::optional<std::string> argumentNotText(int argc, char** argv, std::size_t commandWords) {
  const int optionsEnd = argc - static_cast<int>(commandWords);
  for (int i = 1; i < optionsEnd; ++i) {
    if (!utf8ToWide(argv[i])) return "argument " + std::to_string(i) + " is not UTF-8 text";
  }
  return std::nullopt;
}

// A session or a recovery, from the checked command line to its end.
SessionOutcome runChecked(const SessionOptions& options, int argc, char** argv,
                          const EventStream& events) {
  if (std::optional<std::string> refusal = linuxRefusal(options)) {
    report(*refusal);
    return unexpected(kSessionUsage);
  }
  if (std::optional<std::string> refusal = argumentNotText(argc, argv, options.command.size())) {
    report(*refusal);
    return unexpected(kSessionUsage);
  }
  if (!catchEndingSignals()) {
    report("could not set up the handling of Ctrl+C and SIGTERM");
    return unexpected(kSessionCannotListen);
  }
  if (options.recover || options.clean) {
    const int code = recoverOrClean(options, events);
    return code != 0 ? SessionOutcome(unexpected(code)) : SessionOutcome(0);
  }
  std::optional<std::vector<SessionEntry>> entries = entriesToSend(options);
  if (!entries) return unexpected(kSessionUsage);
  std::optional<PosixCommand> command;
  if (!options.command.empty()) {
    const std::vector<std::string> words(argv + argc - options.command.size(), argv + argc);
    Expected<PosixCommand, std::string> found = findPosixCommand(words);
    if (!found) {
      report(found.error());
      return unexpected(kSessionNoCommand);
    }
    command = std::move(found).value();
  }
  return runLinuxSession(options, *entries, command, events);
}

}  // namespace

int sessionMain(int argc, char** argv) {
  return runCommandLine(
      argumentsAsText(argc, argv),
      {Platform::kLinux,
       [](bool json) { return reportLinuxStatus(json, halfPlaces().hosts, halfPlaces().logFile); },
       [argc, argv](const SessionOptions& options, const EventStream& events) {
         return runChecked(options, argc, argv, events);
       }});
}

}  // namespace varnick::control
