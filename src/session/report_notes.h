// What varnick-session says of the work its Varnick reports doing on its
// own: the interrupted sessions put right, the lines taken out at a
// session's end, the lock files a clean removed.
#pragma once

#include <string>

#include "link/session_report.h"

namespace varnick::control {

// One note in the session's words: "removed '10.0.0.1 a.test', left by an
// interrupted session that started 2026-12-07 13:25:03". Lines and paths
// are shown with their control characters escaped.
std::string reportNote(const ReportItem& item);

}  // namespace varnick::control
