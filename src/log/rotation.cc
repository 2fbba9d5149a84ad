#include "log/rotation.h"

#include <cstdio>
#include <utility>

#include "log/logging_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace varnick {
namespace {

LogFileMover& currentMover() {
  static LogFileMover mover = &moveLogFile;
  return mover;
}

// Whether the log file can be moved away now. On Windows another process
// may hold it open without sharing deletion: shifting the copies then would
// discard the oldest on every record while copy 1 is never refilled, and a
// few records would wipe out all ten copies. A missing file does not count
// as held: the shifts then run as usual.
bool logFileIsFree(const std::string& name) {
#ifdef _WIN32
  HANDLE probe =
      CreateFileA(name.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_SHARING_VIOLATION;
  CloseHandle(probe);
#else
  (void)name;  // POSIX renames an open file without complaint.
#endif
  return true;
}

}  // namespace

bool moveLogFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  // The C runtime's rename refuses an existing target on Windows; moving with
  // replace-existing swaps the target out in one step and, unlike removing it
  // first, leaves it alone when the source is missing.
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

void setLogFileMoverForTesting(LogFileMover mover) {
  currentMover() = mover ? std::move(mover) : LogFileMover(&moveLogFile);
}

std::string logCopyName(const std::string& baseName, int number) {
  return baseName + "." + std::to_string(number);
}

void rotateLogFile() {
  LoggingState& state = loggingState();
  if (state.logStream != nullptr) {
    std::fclose(state.logStream);
    state.logStream = nullptr;
  }
  if (!logFileIsFree(state.logBaseName)) {
    // Keep every copy; the same file is reopened and the next record tries
    // again.
    state.logStream = std::fopen(state.logBaseName.c_str(), "a+");
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
  state.logStream = std::fopen(state.logBaseName.c_str(), "a+");
}

}  // namespace varnick
