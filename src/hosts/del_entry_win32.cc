#include "hosts/del_entry.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/unique_resource_win32.h"
#include "hosts/entry_matcher.h"
#include "hosts/hosts_file_state_win32.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/new_hosts_file_win32.h"
#include "hosts/system_clock_win32.h"

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
    if (got != 0) {
      copyError_ = errorCodeOf(writeAll(copy_, buffer, got));
      if (copyError_ != ERROR_SUCCESS) return false;
    }
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
    error_ = errorCodeOf(file_.write(data, static_cast<DWORD>(size)));
    return error_ == ERROR_SUCCESS;
  }
  DWORD error() const { return error_; }

 private:
  NewHostsFile& file_;
  DWORD error_ = ERROR_SUCCESS;
};

// The user's temporary copy of the hosts file, "hosXXXX.tmp" in the user's
// temporary directory: made new by this run and written only through the
// handle that made it, so a link planted at its name, before or after, is
// never written through.
struct TemporaryCopy {
  std::wstring name;
  UniqueFile file;
};

// Numbers for the copy's name are tried from one that differs from run to
// run, so that runs seldom meet each other's names.
std::uint16_t firstUniqueNumber() {
  auto seed = static_cast<std::uint32_t>(GetTickCount64() ^ (GetCurrentProcessId() << 8));
  auto number = static_cast<std::uint16_t>(seed ^ (seed >> 16));
  return number == 0 ? 1 : number;
}

// Creates the temporary copy, empty; the step that failed otherwise.
DelResult makeTemporaryCopy(std::optional<TemporaryCopy>& made) {
  wchar_t directory[kPathCapacity];
  const DWORD length = GetTempPathW(kPathCapacity, directory);
  // A path too long for the buffer is no failure of the call: it leaves
  // the last error as an earlier call set it.
  const DWORD error = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
  if (length == 0 || length > kPathCapacity) return failedAt(DelStep::kNoTempPath, error);
  std::uint16_t number = firstUniqueNumber();
  for (int tries = 0; tries < 0xFFFF; ++tries, number = number == 0xFFFF ? 1 : number + 1) {
    wchar_t name[kPathCapacity];
    // With a non-zero number this only forms the name.
    if (GetTempFileNameW(directory, L"hosts", number, name) == 0) {
      const DWORD error = GetLastError();
      return failedAt(DelStep::kNoTempName, error);
    }
    UniqueFile file(CreateFileW(name, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return failedAt(DelStep::kTempCreateFailed, error, name);
    }
    // A folder on the way that was made a link sends the new file elsewhere.
    if (SystemResult meant = checkIsFileMeant(file.get(), fullLongPath(name)); !meant) {
      // The misplacement is the failure reported; a copy that could not go
      // is empty, made by this run a moment ago.
      deleteByHandle(file.get()).ignore();
      return failedAt(DelStep::kTempCopyMisplaced, meant.error(), name);
    }
    made = TemporaryCopy{name, std::move(file)};
    return {};
  }
  // Every name is taken.
  return failedAt(DelStep::kNoTempName, ERROR_FILE_EXISTS);
}

// Empties the copy for another round of the rebuild.
SystemResult emptyCopy(HANDLE copy) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(copy, start, nullptr, FILE_BEGIN) || !SetEndOfFile(copy)) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

// Reads the hosts file once, into the temporary copy as it stands and into
// the new file without the entry, then swaps the new file in. The hosts file
// is not written until the whole new content is on the disk.
DelResult rebuild(UniqueFile& hosts, const TemporaryCopy& copy, std::string_view entry) {
  HostsSource source(hosts.get(), copy.file.get());
  NewHostsFile replacement;
  if (SystemResult created = replacement.create(); !created) {
    source.finishCopy();
    return failedAt(DelStep::kNewFileFailed, created.error(), replacement.path());
  }
  NewFileSink sink(replacement);
  if (CopyResult copied = copyWithoutEntry(source, sink, entry); !copied) {
    if (copied.error() == CopyFailure::kWriteFailed) {
      source.finishCopy();
      return failedAt(DelStep::kNewFileFailed, sink.error(), replacement.path());
    }
    if (source.copyError() != ERROR_SUCCESS)
      return failedAt(DelStep::kTempCopyFailed, source.copyError(), copy.name);
    return failedAt(DelStep::kReadFailed, source.readError());
  }
  // A rename cannot replace a file that is open, so the hosts file is let
  // go just before the swap; an add in that instant makes the new content
  // stale, and the rebuild starts over.
  std::optional<FileState> asRead = stateOf(hosts.get());
  hosts.reset();
  SystemClock clock;
  CommitResult committed =
      replacement.commit(clock, [&asRead] { return asRead && stateOfHostsFile() == asRead; });
  if (committed) return {};
  switch (committed.error().step) {
    case CommitStage::kStale:
      // The hosts file changed in the instant between letting it go and
      // swapping the new one in.
      return failedAt(DelStep::kKeptChanging, ERROR_SUCCESS);
    case CommitStage::kFlushFailed:
      return failedAt(DelStep::kNewFileFailed, committed.error().code, replacement.path());
    case CommitStage::kSwapFailed:
      break;
  }
  return failedAt(DelStep::kReplaceFailed, committed.error().code);
}

// Opens the hosts file so that no other process can write to it, and
// rebuilds. From here until the new content is about to be swapped in an add
// in the meantime fails instead of being lost.
DelResult rebuildOnce(const TemporaryCopy& copy, std::string_view entry) {
  SystemClock clock;
  Expected<UniqueFile, std::uint32_t> hosts = openHostsFileForRebuild(clock);
  if (!hosts) return failedAt(DelStep::kHostsOpenFailed, hosts.error());
  if (SystemResult emptied = emptyCopy(copy.file.get()); !emptied)
    return failedAt(DelStep::kTempCopyFailed, emptied.error(), copy.name);
  return rebuild(*hosts, copy, entry);
}

}  // namespace

DelResult deleteEntry(std::string_view entry) {
  HostsLock lock(HostsLock::Kind::kWrite);
  if (SystemResult taken = lock.take(kWriteLockWaitMs); !taken)
    return failedAt(DelStep::kLockFailed, taken.error());
  // Made once the lock is held, and kept open until the end.
  std::optional<TemporaryCopy> copy;
  if (DelResult made = makeTemporaryCopy(copy); !made) return made;
  DelResult result;
  // The rounds' end is in `result` too: the last round's, kKeptChanging
  // after kRebuildRounds stale ones.
  (void)rebuildInRounds([&] {
    result = rebuildOnce(*copy, entry);
    if (result) return Round::kDone;
    return result.error().step == DelStep::kKeptChanging ? Round::kStale : Round::kFailed;
  });
  return result;
}

}  // namespace varnick
