#include "hosts/hosts_file.h"

#include <windows.h>

#include <string>

#include "base/file_write_win32.h"
#include "base/unique_resource.h"
#include "hosts/hosts_location.h"
#include "hosts/new_hosts_file_win32.h"

namespace varnick {

AppendResult appendLine(std::string_view entry) {
  HostsWriteLock lock;
  if (lock.error()) return {AppendStep::kOpenFailed, lock.error()};
  std::string line;
  line.reserve(2 + entry.size());
  line.append("\r\n").append(entry);
  // Append-only access: every write lands at the end, whatever else happens
  // to the file. Readers may share it, writers may not.
  UniqueFile file(CreateFileW(hostsFilePath(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {AppendStep::kOpenFailed, GetLastError()};
  // One write of the whole line, so a reader never sees its line break alone.
  if (DWORD error = writeAll(file.get(), line.data(), static_cast<DWORD>(line.size()))) {
    return {AppendStep::kWriteFailed, error};
  }
  return {};
}

std::uint32_t backUpHostsFile(const wchar_t* backupPath) {
  // Tried again for a while when another process holds either file: a
  // Varnick ended a moment ago may not have let go of its backup yet.
  SystemClock clock;
  return retryWhileBusy(
             [backupPath] {
               if (CopyFileW(hostsFilePath(), backupPath, FALSE)) return StepResult{};
               DWORD error = GetLastError();
               bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
               return StepResult{busy ? Attempt::kBusy : Attempt::kFailed, error};
             },
             clock)
      .error;
}

std::uint32_t restoreHostsFile(const wchar_t* backupPath) {
  HostsWriteLock lock;
  if (lock.error()) return lock.error();
  NewHostsFile replacement;
  if (DWORD error = replacement.copyFrom(backupPath)) return error;
  SystemClock clock;
  return replacement.commit(clock).error;
}

}  // namespace varnick
