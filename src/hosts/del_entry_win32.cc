#include "hosts/del_entry.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "app/host_paths.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "hosts/entry_bytes.h"
#include "hosts/entry_matcher.h"
#include "hosts/file_write_win32.h"
#include "log/logging.h"

namespace varnick {
namespace {

// The temporary copy, read through an open handle. Keeps the error code of
// the last failed call for the log record.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(HANDLE file) : file_(file) {}

  bool read(char* buffer, std::size_t capacity, std::size_t* count) override {
    DWORD got = 0;
    if (!ReadFile(file_, buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
      error_ = GetLastError();
      return false;
    }
    *count = got;
    return true;
  }

  bool rewind() override {
    if (SetFilePointerEx(file_, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) return true;
    error_ = GetLastError();
    return false;
  }

  DWORD error() const { return error_; }

 private:
  HANDLE file_;
  DWORD error_ = ERROR_SUCCESS;
};

// The hosts file, written through the handle that holds it exclusively.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(HANDLE file) : file_(file) {}

  bool write(const char* data, std::size_t size) override {
    error_ = writeAll(file_, data, static_cast<DWORD>(size));
    return error_ == ERROR_SUCCESS;
  }

  bool truncate() override {
    if (SetFilePointerEx(file_, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && SetEndOfFile(file_)) {
      return true;
    }
    error_ = GetLastError();
    return false;
  }

  DWORD error() const { return error_; }

 private:
  HANDLE file_;
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

// Rebuilds the hosts file from the temporary copy. A rebuild that stops
// part-way would leave the hosts file cut short, so after a failed read or
// write the hosts file gets the whole copy back before the failure is
// reported.
int rebuildHostsFile(HANDLE copy, HANDLE hosts, std::string_view entry,
                     const std::wstring& copyName, Logger* log) {
  FileSource source(copy);
  FileSink sink(hosts);
  CopyStatus status = copyWithoutEntry(source, sink, entry);
  if (status == CopyStatus::kDone) return 0;
  bool readFailed = status == CopyStatus::kReadFailed;
  int error = static_cast<int>(readFailed ? source.error() : sink.error());
  if (restoreCopy(source, sink)) {
    logMessage(kError, log,
               readFailed ? "Failed to read temporary hosts file %d, hosts file restored"
                          : "Failed to write hosts file %d, hosts file restored",
               error);
  } else {
    // The hosts file may now be cut short; whoever mends it needs to know
    // where the whole content still is.
    logMessage(kError, log, "Failed to rebuild hosts file %d, its content is kept in %s", error,
               wideToUtf8(copyName.c_str()).c_str());
  }
  return 1;
}

}  // namespace

int delEntry(const wchar_t* entry) {
  Logger* log = getLogger("DelEntry");
  std::optional<EntryBytes> bytes = toEntryBytes(entry);
  if (!bytes) {
    logMessage(kError, log, "Unable to convert %s to multibyte", wideToUtf8(entry).c_str());
    return 1;
  }
  std::optional<std::wstring> copyName = makeTemporaryFile(log);
  if (!copyName) return 1;

  // The copy must hold the whole hosts file before the hosts file is opened
  // for writing, since that open cuts it to zero length.
  if (!CopyFileW(hostsFilePath(), copyName->c_str(), FALSE)) {
    int error = static_cast<int>(GetLastError());
    logMessage(kError, log, "Failed to copy hosts file to %s %d",
               wideToUtf8(copyName->c_str()).c_str(), error);
    return 1;
  }
  // Share mode 0 on both: no other process reads or writes either file while
  // the hosts file is rebuilt.
  UniqueFile copy(CreateFileW(copyName->c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy) {
    logMessage(kInfo, log, "Failed to open temporary hosts file %d",
               static_cast<int>(GetLastError()));
    return 1;
  }
  UniqueFile hosts(CreateFileW(hostsFilePath(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!hosts) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(GetLastError()));
    return 1;
  }
  std::string_view entryBytes(bytes->data.get(), static_cast<std::size_t>(bytes->length));
  int result = rebuildHostsFile(copy.get(), hosts.get(), entryBytes, *copyName, log);
  // The source first, then the hosts file; the copy stays where it is.
  copy.reset();
  hosts.reset();
  return result;
}

}  // namespace varnick
