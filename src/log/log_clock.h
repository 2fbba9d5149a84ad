// The local time, as a log record bears it and a session names when its
// entries go.
#pragma once

#include <ctime>

namespace varnick {

// The local time at `seconds`, broken down; all zero where the system
// cannot say. Each platform's own thread-safe localtime.
std::tm localTimeAt(std::time_t seconds);

// The local time now.
inline std::tm localTimeNow() { return localTimeAt(std::time(nullptr)); }

}  // namespace varnick
