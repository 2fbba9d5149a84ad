// What a session's privileged side checks of a request before anything is
// written, and the one record of each refusal: the same at every door (the
// elevated Varnick of a Windows session, the Linux half).
#pragma once

#include <cstdint>
#include <string_view>

#include "log/logging.h"

namespace varnick {

// Whether `entry`, as the session sent it, may become one line of the hosts
// file (entryProblem). When it may not, logs why, the entry shown through
// visibleText; the add is then answered with a failure and serving goes on.
[[nodiscard]] bool entryAllowed(Logger* log, std::string_view entry);

// Logs that a frame declared a body of `bodyLength` bytes, more than
// kMaxSessionRequestBody: the connection ends with the body unread.
void logRequestTooLong(Logger* log, std::uint32_t bodyLength);

}  // namespace varnick
