#include <windows.h>

#include <string>

#include "base/exit_codes.h"
#include "base/file_io_win32.h"
#include "base/wide_text.h"
#include "hosts/del_entry.h"
#include "hosts/entry_bytes.h"
#include "hosts/replacement.h"
#include "log/logging.h"
#include "modes/modes.h"

namespace varnick {
namespace {

// The record for a delete that stopped at `failure.step`.
void logDelFailure(Logger* log, const StepFailure<DelStep>& failure) {
  const int error = static_cast<int>(failure.code);
  const std::string path = wideToUtf8(failure.path.c_str());
  switch (failure.step) {
    case DelStep::kLockFailed:
      logMessage(kError, log, "Failed to take the write lock of the hosts file %d", error);
      return;
    case DelStep::kNoTempPath:
      logMessage(kError, log, "Unable to get temp path");
      return;
    // The temporary copy is named and made in one step by the system's
    // naming call, as log readers know it; then the part that failed.
    case DelStep::kNoTempName:
      logMessage(kError, log, "Unable to get tmp filename");
      if (failure.code == ERROR_FILE_EXISTS) {
        logMessage(kError, log, "Every temporary file name is taken");
      } else {
        logMessage(kError, log, "Failed to form a temporary file name %d", error);
      }
      return;
    case DelStep::kTempCreateFailed:
      logMessage(kError, log, "Unable to get tmp filename");
      logMessage(kError, log, "Failed to create temporary hosts file %s %d", path.c_str(), error);
      return;
    case DelStep::kTempCopyMisplaced:
      logMessage(kError, log,
                 "Refused temporary hosts file %s %d: a folder on its way leads elsewhere",
                 path.c_str(), error);
      return;
    case DelStep::kHostsOpenFailed:
      logMessage(kInfo, log, "Failed to open hosts file %d", error);
      return;
    case DelStep::kTempCopyFailed:
      logMessage(kError, log, "Failed to copy hosts file to %s %d", path.c_str(), error);
      return;
    case DelStep::kReadFailed:
      logMessage(kError, log, "Failed to read hosts file %d, hosts file unchanged", error);
      return;
    case DelStep::kNewFileFailed:
      logMessage(kError, log, "Failed to write %s %d, hosts file unchanged", path.c_str(), error);
      return;
    case DelStep::kReplaceFailed:
      if (isHeldAtSwap(failure.code)) {
        // The hosts file cannot be written while another program has it
        // open, or while it is read-only: told as a failed open of it, which
        // log readers look for, then the step that met it.
        logMessage(kInfo, log, "Failed to open hosts file %d", error);
        logMessage(kInfo, log,
                   "Failed to replace hosts file: another program has it open or it is "
                   "read-only, hosts file unchanged");
        return;
      }
      logMessage(kError, log, "Failed to replace hosts file %d, hosts file unchanged", error);
      return;
    case DelStep::kKeptChanging:
      logMessage(kError, log,
                 "Failed to replace hosts file: another program wrote to it during each of %d "
                 "rebuilds, hosts file unchanged",
                 kRebuildRounds);
      return;
  }
}

}  // namespace

int runDel(const wchar_t* entry) {
  Logger* log = getLogger("DelEntry");
  std::optional<EntryBytes> bytes = toEntryBytes(entry);
  if (!bytes) {
    logMessage(kError, log, "Unable to convert %s to multibyte", wideToUtf8(entry).c_str());
    return kExitFailure;
  }
  DelResult result = deleteEntry(bytes->view());
  if (result) return kExitSuccess;
  logDelFailure(log, result.error());
  return kExitFailure;
}

}  // namespace varnick
