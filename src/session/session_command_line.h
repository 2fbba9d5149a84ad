// What varnick-session does with its command line on every platform: the
// requests that need no session (--version, --help, --status), the usage
// when nothing is asked, and a session or a recovery through the
// platform's own `runChecked`, ended by the last --json events.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/session_exit_codes.h"
#include "session/session_help.h"
#include "session/session_options.h"
#include "session/session_output.h"

namespace varnick::control {

// What only the platform does once the command line is parsed.
struct SessionCommands {
  Platform platform;
  // --status, with --json when asked: the exit code.
  std::function<int(bool json)> status;
  // A session or a recovery from the checked options to its end.
  std::function<SessionOutcome(const SessionOptions&, const EventStream&)> runChecked;
};

// Parses `arguments` (the program's name left out) and runs what they ask:
// the exit code.
int runCommandLine(const std::vector<std::wstring>& arguments, const SessionCommands& commands);

}  // namespace varnick::control
