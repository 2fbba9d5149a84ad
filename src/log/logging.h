// The process-wide log: named Loggers, one configuration, and the log call
// that writes timestamped, levelled records to the log file and the console.
#pragma once

#include <cstdint>
#include <string>

#include "log/log_level.h"

namespace varnick {

// A named log category. It carries nothing but its name; all Loggers share
// the one configuration.
struct Logger {
  std::string categoryName;
};

// Sets the threshold, console echo, log file and size limit. Only the first
// call has any effect, also when it could not open the file. A log file that
// is not a plain file with one link (a symbolic or hard link, or a file
// reached through a linked folder) is neither written nor rotated: one ERROR
// record of "Main" says so, and records go to the console only.
void configureLogging(const char* levelWord, bool echoToConsole, const char* fileName,
                      std::int32_t maxLogSize);

// Returns the Logger for `name`, creating it on first use. The same name
// always yields the same Logger, valid until the process ends; never null.
Logger* getLogger(const std::string& name);

// Writes one record if `level` passes the threshold: rotates the log file
// first when it has grown past the limit, then prints the record on the
// console (when echo is on) and in the log file, flushing both. The message
// is cut at 1023 characters. Never fails.
void logMessage(LogLevel level, Logger* logger, const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace varnick
