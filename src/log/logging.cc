#include "log/logging.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <utility>

#include "log/log_clock.h"
#include "log/log_file.h"
#include "log/logging_state.h"
#include "log/rotation.h"

namespace varnick {
namespace {

constexpr std::size_t kMaxMessageLength = 1023;

// The registry and its Loggers are never destroyed, so a Logger pointer that
// was handed out stays valid until the process ends, static destructors
// included. They end with the process.
using LoggerRegistry = std::map<std::string, std::unique_ptr<Logger>>;

LoggerRegistry& loggerRegistry() {
  static LoggerRegistry* registry = new LoggerRegistry;
  return *registry;
}

// Writes one record and flushes it. The record is formatted first and handed
// to the stream in one call, so that a buffered stream leaves it in one write.
// An unbuffered character device (a console, or /dev/null under Wine) is
// still written a character at a time: the program gives stdout a buffer.
void writeRecord(std::FILE* stream, const std::tm& now, LogLevel level, const Logger& logger,
                 const char* message) {
  char line[kMaxMessageLength + 512];
  int length =
      std::snprintf(line, sizeof line, "%02i:%02i:%02i %s %s - %s\n", now.tm_hour, now.tm_min,
                    now.tm_sec, levelName(level), logger.categoryName.c_str(), message);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
    std::fwrite(line, 1, static_cast<std::size_t>(length), stream);
  } else {
    // Only a category name hundreds of characters long gets here.
    std::fprintf(stream, "%02i:%02i:%02i %s %s - %s\n", now.tm_hour, now.tm_min, now.tm_sec,
                 levelName(level), logger.categoryName.c_str(), message);
  }
  std::fflush(stream);
}

}  // namespace

LoggingState& loggingState() {
  static LoggingState state;
  return state;
}

void resetLoggingState() { loggingState() = LoggingState{}; }

void openLogStream() {
  LoggingState& state = loggingState();
  OpenedLogFile opened = openLogFile(state.logBaseName);
  state.logStream = opened ? std::move(*opened) : UniqueStream();
  if (!opened && opened.error() == LogFileFailure::kNotPlainFile) {
    logMessage(kError, getLogger("Main"),
               "Log file %s is not a plain file with one link; records go to standard output only",
               state.logBaseName.c_str());
  }
}

void configureLogging(const char* levelWord, bool echoToConsole, const char* fileName,
                      std::int32_t maxLogSize) {
  LoggingState& state = loggingState();
  if (state.configured) return;
  state.maxLogSize = maxLogSize;
  state.logBaseName = fileName;
  state.thresholdLevel = thresholdForName(levelWord);
  state.echoToConsole = echoToConsole;
  state.configured = true;
  openLogStream();
}

Logger* getLogger(const std::string& name) {
  std::unique_ptr<Logger>& slot = loggerRegistry()[name];
  if (!slot) slot = std::make_unique<Logger>(Logger{name});
  return slot.get();
}

void logMessage(LogLevel level, Logger* logger, const char* format, ...) {
  LoggingState& state = loggingState();
  if (level > state.thresholdLevel) return;

  // The size check comes first, so the record that finds the file over the
  // limit becomes the first record of the fresh file.
  if (state.logStream && std::ftell(state.logStream.get()) > state.maxLogSize) {
    rotateLogFile();
  }

  char message[kMaxMessageLength + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  // Some C runtimes leave a cut buffer unterminated.
  message[kMaxMessageLength] = '\0';

  const std::tm now = localTimeNow();
  if (state.echoToConsole) writeRecord(stdout, now, level, *logger, message);
  if (state.logStream) writeRecord(state.logStream.get(), now, level, *logger, message);
}

}  // namespace varnick
