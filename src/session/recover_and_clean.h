// varnick-session --recover and --clean: no session, only Varnick's work on
// what earlier ones left.
#pragma once

#include "session/session_options.h"
#include "session/session_output.h"

namespace varnick::control {

// Has the privileged side put right the sessions that were interrupted
// (Windows: `varnick session recover`; Linux: the half, shut down once it
// has reported), or for --clean also remove the lock files no running
// Varnick holds and its log (Windows: `varnick session clean`, then the
// log folder; Linux: the half started to clean); waits for it and says what
// it did. 0, or a session code. One implementation a platform:
// recover_and_clean_win32.cc, recover_and_clean_posix.cc.
int recoverOrClean(const SessionOptions& options, const EventStream& events);

}  // namespace varnick::control
