// One Linux session: the privileged half started as its way in, and the
// one session flow (session_driver.h) run through it.
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

}  // namespace varnick::control
