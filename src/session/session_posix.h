// One Linux session: the privileged half started, the entries added, the
// command run (or the entries held), and its lines taken out again; and
// --recover and --clean, which start the half for that work alone.
#pragma once

#include <optional>
#include <vector>

#include "launch/command_start_posix.h"
#include "session/session_entries.h"
#include "session/session_exit_codes.h"
#include "session/session_options.h"
#include "session/session_output.h"

namespace varnick::control {

// Runs the session with the entries converted and checked, and the command
// (if any) found. SIGINT, SIGTERM and SIGHUP end it in order
// (session_signals_posix.h): the command's group gets the signal, then the
// half takes the lines out.
SessionOutcome runLinuxSession(const SessionOptions& options,
                               const std::vector<SessionEntry>& entries,
                               const std::optional<PosixCommand>& command,
                               const EventStream& events);

// --recover: the half puts right what interrupted sessions left, reports
// it, and is shut down at once; --clean: the half started to clean
// (runCleaningHalf) recovers, removes the unheld lock files and the log,
// reports it all and ends. The exit code.
int recoverOnLinux(const SessionOptions& options, const EventStream& events);

}  // namespace varnick::control
