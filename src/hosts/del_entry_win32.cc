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
#include "hosts/hosts_file.h"
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
    bytesRead_ += got;
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
  std::uint64_t bytesRead() const { return bytesRead_; }

 private:
  HANDLE hosts_;
  HANDLE copy_;
  DWORD readError_ = ERROR_SUCCESS;
  DWORD copyError_ = ERROR_SUCCESS;
  std::uint64_t bytesRead_ = 0;
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
  logMessage(kError, log, "Failed to copy hosts file to %s %d",
             wideToUtf8(copyName.c_str()).c_str(), static_cast<int>(error));
  return kExitFailure;
}

int newFileFailed(Logger* log, const NewHostsFile& file, DWORD error) {
  logMessage(kError, log, "Failed to write %s %d, hosts file unchanged",
             wideToUtf8(file.path().c_str()).c_str(), static_cast<int>(error));
  return kExitFailure;
}

// What the hosts file looked like when it was read: an append since then
// changes its size and its time of last write.
struct FileState {
  DWORD sizeHigh = 0;
  DWORD sizeLow = 0;
  FILETIME written{};
  bool operator==(const FileState& other) const {
    return sizeHigh == other.sizeHigh && sizeLow == other.sizeLow &&
           CompareFileTime(&written, &other.written) == 0;
  }
};

std::optional<FileState> stateOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  return FileState{info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime};
}

std::optional<FileState> stateOfHostsFile() {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(hostsFilePath(), GetFileExInfoStandard, &info)) return std::nullopt;
  return FileState{info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime};
}

// The outcome of one rebuild: an exit code, or the news that the hosts file
// changed in the instant between letting it go and swapping the new one in.
constexpr int kRebuildStale = -1;

// Reads the hosts file once, into the temporary copy as it stands and into
// the new file without the entry, then swaps the new file in. The hosts file
// is not written until the whole new content is on the disk.
int rebuild(Logger* log, UniqueFile& hosts, HANDLE copy, const std::wstring& copyName,
            std::string_view entry) {
  NewHostsFile replacement;
  if (DWORD error = replacement.create()) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(error));
    return kExitFailure;
  }
  HostsSource source(hosts.get(), copy);
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
  // A rename cannot replace a file that is open, so the hosts file is let
  // go just before the swap; an add in that instant makes the new content
  // stale, and the rebuild starts over.
  std::optional<FileState> asRead = stateOf(hosts.get());
  hosts.reset();
  SystemClock clock;
  CommitResult committed =
      replacement.commit(clock, [&asRead] { return asRead && stateOfHostsFile() == asRead; });
  switch (committed.stage) {
    case CommitStage::kDone:
      return kExitSuccess;
    case CommitStage::kStale:
      return kRebuildStale;
    case CommitStage::kFlushFailed:
      return newFileFailed(log, replacement, committed.error);
    case CommitStage::kSwapFailed:
      break;
  }
  // As when the hosts file could not be opened for writing: it stays as it was.
  logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(committed.error));
  return kExitFailure;
}

// Adds that keep landing in the instant before the swap are not waited out
// for ever.
constexpr int kRebuildRounds = 5;

// Opens the hosts file so that no other process can write to it, and the
// temporary copy, and rebuilds. From here until the new content is about to
// be swapped in an add in the meantime fails instead of being lost.
int rebuildOnce(Logger* log, const std::wstring& copyName, std::string_view entry) {
  SystemClock clock;
  UniqueFile hosts = openHostsFileForRebuild(clock);
  if (!hosts) return copyFailed(log, copyName, GetLastError());
  UniqueFile copy(CreateFileW(copyName.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy) {
    logMessage(kInfo, log, "Failed to open temporary hosts file %d",
               static_cast<int>(GetLastError()));
    return kExitFailure;
  }
  return rebuild(log, hosts, copy.get(), copyName, entry);
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

  HostsWriteLock lock;
  if (lock.error()) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(lock.error()));
    return kExitFailure;
  }
  std::string_view entryBytes(bytes->data.get(), static_cast<std::size_t>(bytes->length));
  int result = kRebuildStale;
  for (int round = 0; round < kRebuildRounds && result == kRebuildStale; ++round) {
    result = rebuildOnce(log, *copyName, entryBytes);
  }
  if (result == kRebuildStale) {
    logMessage(kInfo, log, "Failed to open hosts file %d",
               static_cast<int>(ERROR_SHARING_VIOLATION));
    return kExitFailure;
  }
  return result;
}

}  // namespace varnick
