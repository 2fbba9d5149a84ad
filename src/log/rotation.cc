#include "log/rotation.h"

#include <utility>

#include "log/log_file.h"
#include "log/logging_state.h"

namespace varnick {
namespace {

LogFileMover& currentMover() {
  static LogFileMover mover = &moveLogFile;
  return mover;
}

}  // namespace

void setLogFileMoverForTesting(LogFileMover mover) {
  currentMover() = mover ? std::move(mover) : LogFileMover(&moveLogFile);
}

std::string logCopyName(const std::string& baseName, int number) {
  return baseName + "." + std::to_string(number);
}

void rotateLogFile() {
  LoggingState& state = loggingState();
  state.logStream.reset();
  if (logFileIsHeld(state.logBaseName)) {
    // Keep every copy; the same file is reopened and the next record tries
    // again.
    openLogStream();
    return;
  }
  // Highest number first: each rename frees the name the next one needs, and
  // the first one discards the oldest copy. Failures are passed over.
  for (int number = kLogCopies - 1; number >= 1; --number) {
    currentMover()(logCopyName(state.logBaseName, number),
                   logCopyName(state.logBaseName, number + 1));
  }
  currentMover()(state.logBaseName, logCopyName(state.logBaseName, 1));
  // When the log file could not be moved this opens the same file again, and
  // the next record tries the rotation once more.
  openLogStream();
}

}  // namespace varnick
