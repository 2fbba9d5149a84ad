// The logging state shared by the log call and rotation. Internal to src/log
// and its tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "log/log_level.h"

namespace varnick {

struct LoggingState {
  std::int32_t maxLogSize = 0;
  bool echoToConsole = false;
  LogLevel thresholdLevel = 0;
  std::FILE* logStream = nullptr;  // closed only by rotation, or by the runtime at exit
  bool configured = false;
  std::string logBaseName;
};

LoggingState& loggingState();

// Closes the stream and returns the state to what it is at process start.
// Tests use it to configure logging more than once.
void resetLoggingState();

}  // namespace varnick
