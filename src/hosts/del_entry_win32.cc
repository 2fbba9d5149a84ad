#include "hosts/del_entry.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/exit_codes.h"
#include "base/file_write_win32.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "hosts/entry_bytes.h"
#include "hosts/entry_matcher.h"
#include "hosts/hosts_location.h"
#include "hosts/new_hosts_file_win32.h"
#include "log/logging.h"

namespace varnick {
namespace {

// Reads the hosts file and writes every block it reads to the temporary
// copy as well, so the old content is read once for both.
class HostsSource final : public ByteSource {
 public:
  HostsSource(HANDLE hosts, HANDLE copy) : hosts_(hosts), copy_(copy) {}

  bool read(char* buffer, std::size_t capacity, std::size_t* count) override {
    DWORD got = 0;
    if (!ReadFile(hosts_, buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
      readError_ = GetLastError();
      return false;
    }
    if (got != 0 && (copyError_ = writeAll(copy_, buffer, got)) != ERROR_SUCCESS) return false;
    *count = got;
    return true;
  }

  // Reads what is left, so the temporary copy holds the whole old content
  // even when the new file could not be written.
  void finishCopy() {
    char block[1 << 16];
    std::size_t count = 0;
    while (read(block, sizeof block, &count) && count != 0) {
    }
  }

  DWORD readError() const { return readError_; }
  DWORD copyError() const { return copyError_; }

 private:
  HANDLE hosts_;
  HANDLE copy_;
  DWORD readError_ = ERROR_SUCCESS;
  DWORD copyError_ = ERROR_SUCCESS;
};

class NewFileSink final : public ByteSink {
 public:
  explicit NewFileSink(NewHostsFile& file) : file_(file) {}
  bool write(const char* data, std::size_t size) override {
    error_ = file_.write(data, static_cast<DWORD>(size));
    return error_ == ERROR_SUCCESS;
  }
  DWORD error() const { return error_; }

 private:
  NewHostsFile& file_;
  DWORD error_ = ERROR_SUCCESS;
};

// Creates an empty temporary file named "hosts....tmp" in the user's
// temporary directory and returns its name, or logs why it could not.
std::optional<std::wstring> makeTemporaryFile(Logger* log) {
  wchar_t directory[kPathCapacity];
  DWORD length = GetTempPathW(kPathCapacity, directory);
  if (length == 0 || length > kPathCapacity) {
    logMessage(kError, log, "Unable to get temp path");
    return std::nullopt;
  }
  wchar_t name[kPathCapacity];
  if (GetTempFileNameW(directory, L"hosts", 0, name) == 0) {
    logMessage(kError, log, "Unable to get tmp filename");
    return std::nullopt;
  }
  return std::wstring(name);
}

int copyFailed(Logger* log, const std::wstring& copyName, DWORD error) {
  logMessage(kError, log, "Failed to copy hosts file to %s %d", wideToUtf8(copyName.c_str()).c_str(),
             static_cast<int>(error));
  return kExitFailure;
}

int newFileFailed(Logger* log, const NewHostsFile& file, DWORD error) {
  logMessage(kError, log, "Failed to write %s %d, hosts file unchanged",
             wideToUtf8(file.path().c_str()).c_str(), static_cast<int>(error));
  return kExitFailure;
}

// Reads the hosts file once, into the temporary copy as it stands and into
// the new file without the entry, then swaps the new file in. The hosts file
// is not written until the whole new content is on the disk.
int rebuild(Logger* log, HANDLE hosts, HANDLE copy, const std::wstring& copyName,
            std::string_view entry) {
  NewHostsFile replacement;
  if (DWORD error = replacement.create()) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(error));
    return kExitFailure;
  }
  HostsSource source(hosts, copy);
  NewFileSink sink(replacement);
  switch (copyWithoutEntry(source, sink, entry)) {
    case CopyStatus::kDone:
      break;
    case CopyStatus::kWriteFailed:
      source.finishCopy();
      return newFileFailed(log, replacement, sink.error());
    case CopyStatus::kReadFailed:
      if (source.copyError() != ERROR_SUCCESS) return copyFailed(log, copyName, source.copyError());
      logMessage(kError, log, "Failed to read hosts file %d, hosts file unchanged",
                 static_cast<int>(source.readError()));
      return kExitFailure;
  }
  SystemClock clock;
  CommitResult committed = replacement.commit(clock);
  switch (committed.stage) {
    case CommitStage::kDone:
      return kExitSuccess;
    case CommitStage::kFlushFailed:
      return newFileFailed(log, replacement, committed.error);
    case CommitStage::kSwapFailed:
      break;
  }
  // As when the hosts file could not be opened for writing: it stays as it was.
  logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(committed.error));
  return kExitFailure;
}

}  // namespace

int delEntry(const wchar_t* entry) {
  Logger* log = getLogger("DelEntry");
  std::optional<EntryBytes> bytes = toEntryBytes(entry);
  if (!bytes) {
    logMessage(kError, log, "Unable to convert %s to multibyte", wideToUtf8(entry).c_str());
    return kExitFailure;
  }
  std::optional<std::wstring> copyName = makeTemporaryFile(log);
  if (!copyName) return kExitFailure;

  ReplaceLock lock;
  if (lock.error()) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(lock.error()));
    return kExitFailure;
  }
  // From here until the new content is in place no other process can write
  // to the hosts file: an add in the meantime fails instead of being lost.
  SystemClock clock;
  UniqueFile hosts = openHostsFileForRebuild(clock);
  if (!hosts) return copyFailed(log, *copyName, GetLastError());
  UniqueFile copy(CreateFileW(copyName->c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy) {
    logMessage(kInfo, log, "Failed to open temporary hosts file %d",
               static_cast<int>(GetLastError()));
    return kExitFailure;
  }
  std::string_view entryBytes(bytes->data.get(), static_cast<std::size_t>(bytes->length));
  return rebuild(log, hosts.get(), copy.get(), *copyName, entryBytes);
}

}  // namespace varnick
