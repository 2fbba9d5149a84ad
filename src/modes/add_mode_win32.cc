#include <string_view>

#include "base/console.h"
#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/entry_bytes.h"
#include "hosts/hosts_file.h"
#include "log/logging.h"
#include "modes/modes.h"

namespace varnick {

int runAdd(const wchar_t* entry) {
  Logger* log = getLogger("AddEntry");
  std::optional<EntryBytes> bytes = toEntryBytes(entry);
  if (!bytes) {
    // Printed, not logged: as the add mode always has.
    printText("Unable to convert %s to multibyte\r\n", wideToUtf8(entry).c_str());
    return kExitFailure;
  }
  AppendResult appended = appendLine(bytes->view());
  switch (appended.step) {
    case AppendStep::kDone:
      logMessage(kInfo, log, "Written to hosts file '%s'", wideToUtf8(entry).c_str());
      return kExitSuccess;
    case AppendStep::kLockFailed:
      logMessage(kError, log, "Failed to take the write lock of the hosts file %d",
                 static_cast<int>(appended.error));
      return kExitFailure;
    case AppendStep::kOpenFailed:
      logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(appended.error));
      return kExitFailure;
    case AppendStep::kJournalFailed:  // only a session's append keeps a journal
    case AppendStep::kWriteFailed:
      break;
  }
  logMessage(kInfo, log, "Failed to write %s to hosts file %d", wideToUtf8(entry).c_str(),
             static_cast<int>(appended.error));
  return kExitFailure;
}

}  // namespace varnick
