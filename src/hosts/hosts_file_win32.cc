#include "hosts/hosts_file.h"

#include <windows.h>

#include <optional>
#include <string>

#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/unique_resource_win32.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/new_hosts_file_win32.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

// A step that failed with `error`: busy when another process holds the file.
Unexpected<StepFailure<Attempt>> failedStep(DWORD error) {
  return failedAt(isSharingConflict(error) ? Attempt::kBusy : Attempt::kFailed, error);
}

// A step's result from its error code: 0 is done.
StepResult stepOf(DWORD error) {
  if (error == ERROR_SUCCESS) return {};
  return failedStep(error);
}

StepResult stepOf(const SystemResult& result) { return stepOf(errorCodeOf(result)); }

// Opens the backup to be written without following a link: a new file, or
// a plain file with one link already there, reached by the path as given.
// Nothing is written before the checks pass.
Expected<UniqueFile, StepFailure<Attempt>> openBackup(const wchar_t* backupPath) {
  UniqueFile backup(CreateFileW(backupPath, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  bool created = static_cast<bool>(backup);
  if (!created) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return failedStep(error);
    backup.reset(CreateFileW(backupPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!backup) {
      // Something stands at the name and yet leads to no file: a link to
      // a file that is not there (yet).
      error = GetLastError();
      return failedStep(error == ERROR_FILE_NOT_FOUND ? kErrorIsLink : error);
    }
  }
  if (SystemResult meant = checkIsFileMeant(backup.get(), fullLongPath(backupPath)); !meant) {
    // A file just made through a linked folder is not left where it landed;
    // the misplacement is the failure reported, and one that could not go
    // is empty.
    if (created) deleteByHandle(backup.get()).ignore();
    return failedAt(Attempt::kFailed, meant.error());
  }
  return backup;
}

StepResult copyHostsFileTo(const wchar_t* backupPath) {
  Expected<UniqueFile, StepFailure<Attempt>> backup = openBackup(backupPath);
  if (!backup) return unexpected(backup.error());
  UniqueFile hosts(CreateFileW(hostsFilePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!hosts) {
    const DWORD error = GetLastError();
    return stepOf(error);
  }
  // Whatever a file at the backup path held goes now, through the handle.
  if (!SetEndOfFile(backup->get())) {
    const DWORD error = GetLastError();
    return stepOf(error);
  }
  return stepOf(copyAll(hosts.get(), backup->get()));
}

// A restore's steps: the write lock, the backup copied beside the hosts
// file, and the swap.
class BackupRestore final : public RestoreSteps {
 public:
  explicit BackupRestore(const wchar_t* backupPath)
      : backupPath_(backupPath), lock_(HostsLock::Kind::kWrite) {}

  StepResult takeWriteLock() override { return lock_.tryTake(); }
  StepResult copyBackup() override { return stepOf(replacement_.copyFrom(backupPath_)); }
  SystemResult flushAndClose() override { return replacement_.flushAndClose(); }
  StepResult swapIn() override { return replacement_.swapIn(); }
  void discard() override { replacement_.discard(); }

  bool hostsFileWasMissing() const { return replacement_.hostsFileWasMissing(); }

 private:
  const wchar_t* backupPath_;
  HostsLock lock_;
  NewHostsFile replacement_;
};

}  // namespace

AppendResult appendLine(std::string_view entry) {
  HostsLock lock(HostsLock::Kind::kWrite);
  if (SystemResult taken = lock.take(kWriteLockWaitMs); !taken)
    return failedAt(AppendStep::kLockFailed, taken.error());
  std::string line;
  line.reserve(2 + entry.size());
  line.append("\r\n").append(entry);
  // Append-only access: every write lands at the end, whatever else happens
  // to the file. Readers may share it, writers may not.
  UniqueFile file(CreateFileW(hostsFilePath(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return failedAt(AppendStep::kOpenFailed, error);
  }
  // One write of the whole line, so a reader never sees its line break alone.
  if (SystemResult written = writeAll(file.get(), line.data(), static_cast<DWORD>(line.size()));
      !written) {
    return failedAt(AppendStep::kWriteFailed, written.error());
  }
  return {};
}

SystemResult backUpHostsFile(const wchar_t* backupPath) {
  // Tried again for a while when another process holds either file: a
  // Varnick ended a moment ago may not have let go of its backup yet.
  SystemClock clock;
  StepResult copied = retryWhileBusy([backupPath] { return copyHostsFileTo(backupPath); }, clock);
  if (!copied) return unexpected(copied.error().code);
  return {};
}

RestoreOutcome restoreHostsFile(const wchar_t* backupPath,
                                const std::function<void(RestoreWait, std::uint32_t)>& waiting) {
  BackupRestore steps(backupPath);
  SystemClock clock;
  RestoreResult result = restoreWithin(steps, clock, kRestoreWaitMs, waiting);
  if (!result) return unexpected(result.error());
  return Restored{steps.hostsFileWasMissing()};
}

}  // namespace varnick
