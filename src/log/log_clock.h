// The time that a log record bears: the local time of day now. Each
// platform has its own thread-safe form of localtime.
#pragma once

#include <ctime>

namespace varnick {

// The local time now, broken down; all zero where the system cannot say.
std::tm localTimeNow();

}  // namespace varnick
