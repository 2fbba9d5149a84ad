#include "log/log_level.h"

#include <cstring>

namespace varnick {

const char* levelName(LogLevel level) {
  static const char* const kNames[] = {"EMERG", "ALERT", "CRIT ", "ERROR",
                                       "WARN ", "NOTE ", "INFO ", "DEBUG"};
  if (level < kEmerg || level > kDebug) return "INFO";
  return kNames[level];
}

LogLevel thresholdForName(const char* name) {
  if (std::strcmp(name, "DEBUG") == 0) return kDebug;
  if (std::strcmp(name, "WARN") == 0) return kWarn;
  if (std::strcmp(name, "ERROR") == 0) return kError;
  return kInfo;
}

}  // namespace varnick
