// Severity levels of log records: the lower the value, the more severe.
#pragma once

#include <cstdint>

namespace varnick {

using LogLevel = std::int32_t;

constexpr LogLevel kEmerg = 0;
constexpr LogLevel kAlert = 1;
constexpr LogLevel kCrit = 2;
constexpr LogLevel kError = 3;
constexpr LogLevel kWarn = 4;
constexpr LogLevel kNote = 5;
constexpr LogLevel kInfo = 6;
constexpr LogLevel kDebug = 7;

// The name a record prints for `level`: five characters for 0 to 7 (padded
// with a blank where the word is shorter), "INFO" for any other value.
const char* levelName(LogLevel level);

// The threshold selected by a level word: exactly "DEBUG", "WARN" or "ERROR"
// (case-sensitive), anything else means INFO.
LogLevel thresholdForName(const char* name);

}  // namespace varnick
