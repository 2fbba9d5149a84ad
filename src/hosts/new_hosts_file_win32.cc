#include "hosts/new_hosts_file_win32.h"

#include "base/file_write_win32.h"
#include "hosts/hosts_location.h"

namespace varnick {
namespace {

// Serialises the Varnick processes that replace the hosts file, across
// sessions. A 50 MB rebuild takes a fraction of a second, so a wait this long
// means the holder is stuck.
constexpr wchar_t kReplaceLockName[] = L"Global\\VarnickHostsFileReplace";
constexpr DWORD kReplaceLockWaitMs = 30000;

// Names beside the hosts file that nobody takes for the hosts file itself.
constexpr wchar_t kNewSuffix[] = L".varnick-new";
constexpr wchar_t kOldSuffix[] = L".varnick-old";

bool isBusy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// ReplaceFileW reports a hosts file that another process holds in several
// ways, and an antivirus or indexer that has just opened it as access denied.
// Each of these leaves both files under their own names.
bool isBusySwap(DWORD error) {
  return isBusy(error) || error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

}  // namespace

void ReplaceLock::Releaser::operator()(HANDLE mutex) const { ReleaseMutex(mutex); }

ReplaceLock::ReplaceLock() : mutex_(CreateMutexW(nullptr, FALSE, kReplaceLockName)) {
  if (!mutex_) {
    error_ = GetLastError();
    return;
  }
  switch (WaitForSingleObject(mutex_.get(), kReplaceLockWaitMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder died: its replacement never happened or is whole
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
        // Share mode read and delete: appenders are kept out until the new
        // content is in place; ReplaceFileW asks only for read and delete.
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

NewHostsFile::NewHostsFile()
    : path_(std::wstring(hostsFilePath()) + kNewSuffix),
      oldPath_(std::wstring(hostsFilePath()) + kOldSuffix) {}

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

DWORD NewHostsFile::write(const void* data, DWORD size) { return writeAll(file_.get(), data, size); }

CommitResult NewHostsFile::commit(RetryClock& clock) {
  // A leftover of a killed run would stand in the way of the old content.
  DeleteFileW(oldPath_.c_str());
  CommitResult result = commitReplacement(*this, clock);
  committed_ = result.stage == CommitStage::kDone;
  if (committed_) DeleteFileW(oldPath_.c_str());
  return result;
}

std::uint32_t NewHostsFile::flushAndClose() {
  if (!FlushFileBuffers(file_.get())) return GetLastError();
  file_.reset();
  return ERROR_SUCCESS;
}

StepResult NewHostsFile::swapIn() {
  // The old content passes through oldPath_ so that every failure leaves it
  // under a known name. ACL errors are not ignored: the hosts file keeps its
  // security descriptor, or it is not replaced.
  if (ReplaceFileW(hostsFilePath(), path_.c_str(), oldPath_.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                   nullptr, nullptr)) {
    return {};
  }
  DWORD error = GetLastError();
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) return {Attempt::kHostsMovedAside, error};
  return {isBusySwap(error) ? Attempt::kBusy : Attempt::kFailed, error};
}

std::uint32_t NewHostsFile::moveNewIn() {
  return MoveFileExW(path_.c_str(), hostsFilePath(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? ERROR_SUCCESS
             : GetLastError();
}

std::uint32_t NewHostsFile::moveOldBack() {
  return MoveFileExW(oldPath_.c_str(), hostsFilePath(), MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS
                                                                               : GetLastError();
}

void NewHostsFile::discard() {
  file_.reset();
  DeleteFileW(path_.c_str());
}

}  // namespace varnick
