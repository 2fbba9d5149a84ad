// varnick-session --recover and --clean: no session, only Varnick's work on
// what earlier ones left.
#pragma once

#include "session/session_options.h"
#include "session/session_output.h"

namespace varnick::control {

// Runs `varnick session recover`, which puts right the sessions that were
// interrupted, or for --clean `varnick session clean`, which then removes
// the lock files, and after it the log folder; waits for it and says what it
// did. 0, or a session code.
int recoverOrClean(const SessionOptions& options, const EventStream& events);

}  // namespace varnick::control
