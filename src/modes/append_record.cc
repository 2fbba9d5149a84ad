#include "modes/append_record.h"

#include "hosts/visible_text.h"

namespace varnick {

bool logAppend(Logger* log, const AppendResult& appended, std::string_view shown) {
  const std::string text(shown);
  if (appended) {
    logMessage(kInfo, log, "Written to hosts file '%s'", text.c_str());
    return true;
  }
  const AppendStepWords& words = appendStepWords(appended.error().step);
  std::string failedTo = words.failedTo;
  if (const std::size_t entry = failedTo.find("%s"); entry != std::string::npos)
    failedTo.replace(entry, 2, text);
  logMessage(words.recordIsError ? kError : kInfo, log, "Failed to %s %d", failedTo.c_str(),
             static_cast<int>(appended.error().code));
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
