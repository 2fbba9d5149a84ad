#include "modes/append_record_win32.h"

namespace varnick {

bool logAppend(Logger* log, const AppendResult& appended, const std::string& entry) {
  if (appended) {
    logMessage(kInfo, log, "Written to hosts file '%s'", entry.c_str());
    return true;
  }
  const int error = static_cast<int>(appended.error().code);
  switch (appended.error().step) {
    case AppendStep::kLockFailed:
      logMessage(kError, log, "Failed to take the write lock of the hosts file %d", error);
      return false;
    case AppendStep::kOpenFailed:
      logMessage(kInfo, log, "Failed to open hosts file %d", error);
      return false;
    case AppendStep::kReadFailed:  // only a session's append reads the file's end
      logMessage(kError, log, "Failed to read hosts file %d", error);
      return false;
    case AppendStep::kJournalFailed:  // only a session's append keeps a journal
      logMessage(kError, log, "Failed to write the session journal %d", error);
      return false;
    case AppendStep::kWriteFailed:
      break;
  }
  logMessage(kInfo, log, "Failed to write %s to hosts file %d", entry.c_str(), error);
  return false;
}

}  // namespace varnick
