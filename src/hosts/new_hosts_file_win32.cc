#include "hosts/new_hosts_file_win32.h"

#include "base/file_write_win32.h"
#include "hosts/hosts_location.h"

namespace varnick {
namespace {

// Serialises the Varnick processes that replace the hosts file, across
// sessions. A 50 MB rebuild takes a fraction of a second, so a wait this long
// means the holder is stuck.
constexpr wchar_t kHostsWriteLockName[] = L"Global\\VarnickHostsFileReplace";
constexpr DWORD kHostsWriteLockWaitMs = 30000;

// A name beside the hosts file that nobody takes for the hosts file itself.
constexpr wchar_t kNewSuffix[] = L".varnick-new";

bool isBusy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A rename over a file that another process has open, even one that only
// reads it, is refused as access denied: so is one over a file that an
// antivirus or indexer has just opened. Each leaves both files as they were.
bool isBusySwap(DWORD error) { return isBusy(error) || error == ERROR_ACCESS_DENIED; }

// The attributes that the new file takes over. Read-only is left out: the
// old file's flag would stop the rename itself.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

void HostsWriteLock::Releaser::operator()(HANDLE mutex) const { ReleaseMutex(mutex); }

HostsWriteLock::HostsWriteLock() : mutex_(CreateMutexW(nullptr, FALSE, kHostsWriteLockName)) {
  if (!mutex_) {
    error_ = GetLastError();
    return;
  }
  switch (WaitForSingleObject(mutex_.get(), kHostsWriteLockWaitMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder died: its replacement never happened, or happened whole
      held_.reset(mutex_.get());
      return;
    case WAIT_TIMEOUT:
      error_ = ERROR_TIMEOUT;
      return;
    default:
      error_ = GetLastError();
  }
}

UniqueFile openHostsFileForRebuild(RetryClock& clock) {
  UniqueFile file;
  StepResult last = retryWhileBusy(
      [&file] {
        // Share mode read: appenders are kept out while the new content is
        // made; readers are welcome.
        file.reset(CreateFileW(hostsFilePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file) return StepResult{};
        DWORD error = GetLastError();
        return StepResult{isBusy(error) ? Attempt::kBusy : Attempt::kFailed, error};
      },
      clock);
  SetLastError(last.error);
  return file;
}

NewHostsFile::NewHostsFile() : path_(std::wstring(hostsFilePath()) + kNewSuffix) {}

NewHostsFile::~NewHostsFile() {
  if (!committed_) discard();
}

DWORD NewHostsFile::openForWriting(DWORD disposition) {
  file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  return file_ ? ERROR_SUCCESS : GetLastError();
}

DWORD NewHostsFile::create() { return openForWriting(CREATE_ALWAYS); }

DWORD NewHostsFile::copyFrom(const wchar_t* source) {
  if (!CopyFileW(source, path_.c_str(), FALSE)) return GetLastError();
  // Opened again only to flush what the copy wrote.
  return openForWriting(OPEN_EXISTING);
}

DWORD NewHostsFile::write(const void* data, DWORD size) {
  return writeAll(file_.get(), data, size);
}

CommitResult NewHostsFile::commit(RetryClock& clock, std::function<bool()> unchanged) {
  unchanged_ = std::move(unchanged);
  CommitResult result = commitReplacement(*this, clock);
  committed_ = result.stage == CommitStage::kDone;
  return result;
}

std::uint32_t NewHostsFile::flushAndClose() {
  if (!FlushFileBuffers(file_.get())) return GetLastError();
  file_.reset();
  return ERROR_SUCCESS;
}

// Gives the new file the hosts file's access rules and attributes, as the
// hosts file keeps them across the replacement. The owner and group follow
// where the process may set them; the access rules must follow, or the
// hosts file is not replaced.
DWORD NewHostsFile::takeOverIdentity() {
  constexpr SECURITY_INFORMATION kWhat =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(hostsFilePath(), kWhat, nullptr, 0, &size);
  std::string descriptor(size, '\0');
  auto* sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor.data());
  if (size == 0 || !GetFileSecurityW(hostsFilePath(), kWhat, sd, size, &size))
    return GetLastError();
  if (!SetFileSecurityW(path_.c_str(), DACL_SECURITY_INFORMATION, sd)) {
    // A file system without access rules (FAT) has none to carry over.
    DWORD error = GetLastError();
    if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) return error;
  }
  (void)SetFileSecurityW(path_.c_str(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                         sd);
  DWORD attributes = GetFileAttributesW(hostsFilePath());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (attributes & kCarriedAttributes) {
    if (!SetFileAttributesW(path_.c_str(), attributes & kCarriedAttributes)) return GetLastError();
  }
  return ERROR_SUCCESS;
}

StepResult NewHostsFile::swapIn() {
  if (!identityTaken_) {
    DWORD error = takeOverIdentity();
    // The hosts file may be held so that even its rules cannot be read.
    if (error != ERROR_SUCCESS)
      return {isBusySwap(error) ? Attempt::kBusy : Attempt::kFailed, error};
    identityTaken_ = true;
  }
  if (unchanged_ && !unchanged_()) return {Attempt::kStale, ERROR_SUCCESS};
  // One rename: at every instant the hosts file's name holds the whole old
  // file or the whole new one.
  if (MoveFileExW(path_.c_str(), hostsFilePath(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return {};
  }
  DWORD error = GetLastError();
  return {isBusySwap(error) ? Attempt::kBusy : Attempt::kFailed, error};
}

void NewHostsFile::discard() {
  file_.reset();
  DeleteFileW(path_.c_str());
}

}  // namespace varnick
