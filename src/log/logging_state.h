// The logging state shared by the log call and rotation. Internal to src/log
// and its tests.
#pragma once

#include <cstdint>
#include <string>

#include "base/unique_resource.h"
#include "log/log_level.h"

namespace varnick {

struct LoggingState {
  std::int32_t maxLogSize = 0;
  bool echoToConsole = false;
  LogLevel thresholdLevel = 0;
  UniqueStream logStream;  // closed by rotation, or when the process ends
  bool configured = false;
  std::string logBaseName;
};

LoggingState& loggingState();

// Opens the log file of `logBaseName` as the log stream. A name that is not a
// plain file with one link is left alone, and one record says so: records
// then go to the console only. Any other failure leaves the stream absent
// without a word.
void openLogStream();

// Closes the stream and returns the state to what it is at process start.
// Tests use it to configure logging more than once.
void resetLoggingState();

}  // namespace varnick
