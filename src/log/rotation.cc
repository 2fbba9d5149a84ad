#include "log/rotation.h"

#include <cstdio>

#include "log/logging_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace varnick {
namespace {

// Moves `from` onto `to`, replacing a file that already bears that name. A
// missing source does nothing and leaves the target alone.
void moveReplacing(const std::string& from, const std::string& to) {
#ifdef _WIN32
  // The C runtime's rename refuses an existing target on Windows.
  MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
  std::rename(from.c_str(), to.c_str());
#endif
}

}  // namespace

std::string logCopyName(const std::string& baseName, int number) {
  return baseName + "." + std::to_string(number);
}

void rotateLogFile() {
  LoggingState& state = loggingState();
  if (state.logStream != nullptr) {
    std::fclose(state.logStream);
    state.logStream = nullptr;
  }
  // Highest number first: each rename frees the name the next one needs.
  for (int number = kLogCopies - 1; number >= 1; --number) {
    moveReplacing(logCopyName(state.logBaseName, number),
                  logCopyName(state.logBaseName, number + 1));
  }
  moveReplacing(state.logBaseName, logCopyName(state.logBaseName, 1));
  state.logStream = std::fopen(state.logBaseName.c_str(), "a+");
}

}  // namespace varnick
