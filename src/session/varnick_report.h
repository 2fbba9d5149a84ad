// What varnick-session says of the work that its Varnick reports doing on
// its own, as notes on standard error and --json's events.
#pragma once

#include "link/session_report.h"
#include "session/session_output.h"

namespace varnick::control {

// Says what Varnick reports having done on its own, a note an item, and
// writes an event for each line it took out of an interrupted session.
void sayWhatVarnickReported(const Report& report, const EventStream& events);

}  // namespace varnick::control
