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

// An open file and the error code of its last failed call, kept for the log
// record.
class OpenFile {
 public:
  DWORD error() const { return error_; }

 protected:
  explicit OpenFile(HANDLE file) : file_(file) {}

  // Passes `ok` on, taking the error code when the call failed.
  bool check(BOOL ok) {
    if (!ok) error_ = GetLastError();
    return ok != FALSE;
  }
  bool seekToStart() { return check(SetFilePointerEx(file_, LARGE_INTEGER{}, nullptr, FILE_BEGIN)); }

  HANDLE file_;
  DWORD error_ = ERROR_SUCCESS;
};

// The temporary copy, read through an open handle.
class FileSource final : public ByteSource, public OpenFile {
 public:
  explicit FileSource(HANDLE file) : OpenFile(file) {}

  bool read(char* buffer, std::size_t capacity, std::size_t* count) override {
    DWORD got = 0;
    if (!check(ReadFile(file_, buffer, static_cast<DWORD>(capacity), &got, nullptr))) return false;
    *count = got;
    return true;
  }

  bool rewind() override { return seekToStart(); }
};

// The hosts file, written through the handle that holds it exclusively.
class FileSink final : public ByteSink, public OpenFile {
 public:
  explicit FileSink(HANDLE file) : OpenFile(file) {}

  bool write(const char* data, std::size_t size) override {
    error_ = writeAll(file_, data, static_cast<DWORD>(size));
    return error_ == ERROR_SUCCESS;
  }

  bool truncate() override { return seekToStart() && check(SetEndOfFile(file_)); }
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
