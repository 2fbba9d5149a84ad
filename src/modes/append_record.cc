#include "modes/append_record.h"

#include "hosts/visible_text.h"

namespace varnick {

bool logAppend(Logger* log, const AppendResult& appended, std::string_view shown) {
  const std::string text(shown);
  if (appended) {
    logMessage(kInfo, log, "Written to hosts file '%s'", text.c_str());
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
  logMessage(kInfo, log, "Failed to write %s to hosts file %d", text.c_str(), error);
  return false;
}

bool logJournaledAppend(Logger* log, const JournaledAppend& appended, std::string_view entry) {
  const std::string shown = visibleText(entry);
  if (appended.unrecorded != 0) {
    // The session's own end goes by what it knows; only a recovery would
    // still look for the line.
    logMessage(kError, log, "Failed to record in the session journal that '%s' did not go in %d",
               shown.c_str(), static_cast<int>(appended.unrecorded));
  }
  const bool written = logAppend(log, appended.appended, shown);
  if (written && appended.unflushed != 0)
    logMessage(kWarn, log, "Failed to flush the hosts file %u", appended.unflushed);
  return written;
}

}  // namespace varnick
