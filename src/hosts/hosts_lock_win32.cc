#include "hosts/hosts_lock_win32.h"

#include <optional>

#include "base/file_identity_win32.h"
#include "base/object_rules.h"
#include "base/security_descriptor_win32.h"
#include "base/unique_resource.h"
#include "hosts/hosts_location.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

// The file is opened once per process and checked then; each take is a
// byte-range lock on it, which the system lets go when the handle closes,
// also when the process is killed. The file itself stays: another Varnick
// may have it open.
struct LockFile {
  UniqueFile file;
  DWORD error = ERROR_SUCCESS;
};

std::wstring lockFilePath(HostsLock::Kind kind) {
  return besideHostsFile(kind == HostsLock::Kind::kWrite ? L".varnick-write-lock"
                                                         : L".varnick-serving-lock");
}

LockFile openLockFile(HostsLock::Kind kind) {
  const std::wstring path = lockFilePath(kind);
  SecurityDescriptor rules;
  if (DWORD error = rules.convert(kLockFileRules)) return {UniqueFile(), error};
  LockFile lock{UniqueFile(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, rules.attributes(),
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr))};
  lock.error = lock.file ? checkIsFileMeant(lock.file.get(), path) : GetLastError();
  if (lock.error != ERROR_SUCCESS) lock.file.reset();
  return lock;
}

// Each opened at its first use, and kept open for the rest of the run unless
// removeUnheldLockFiles lets it go.
std::optional<LockFile>& lockFileSlot(HostsLock::Kind kind) {
  static std::optional<LockFile> write;
  static std::optional<LockFile> serving;
  return kind == HostsLock::Kind::kWrite ? write : serving;
}

LockFile& lockFile(HostsLock::Kind kind) {
  std::optional<LockFile>& slot = lockFileSlot(kind);
  if (!slot) slot = openLockFile(kind);
  return *slot;
}

}  // namespace

HostsLock::~HostsLock() {
  if (!held_) return;
  OVERLAPPED whole{};
  UnlockFileEx(lockFile(kind_).file.get(), 0, 1, 0, &whole);
}

StepResult HostsLock::tryTake() {
  LockFile& lock = lockFile(kind_);
  if (!lock.file) return {Attempt::kFailed, lock.error};
  OVERLAPPED whole{};
  const DWORD exclusive = sharing_ == Sharing::kExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
  if (LockFileEx(lock.file.get(), exclusive | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    held_ = true;
    return {};
  }
  DWORD error = GetLastError();
  return {error == ERROR_LOCK_VIOLATION ? Attempt::kBusy : Attempt::kFailed, error};
}

DWORD HostsLock::take(std::uint32_t waitMs, const BusyNotice& onFirstBusy) {
  SystemClock clock;
  StepResult result =
      retryWhileBusy([this] { return tryTake(); }, clock, {waitMs, kLockPauseMs}, onFirstBusy);
  if (result.step == Attempt::kBusy) return ERROR_TIMEOUT;
  return result.error;
}

void openLockFiles() {
  (void)lockFile(HostsLock::Kind::kWrite);
  (void)lockFile(HostsLock::Kind::kServing);
}

std::vector<LockFileRemoval> removeUnheldLockFiles() {
  std::vector<LockFileRemoval> removals;
  for (HostsLock::Kind kind : {HostsLock::Kind::kWrite, HostsLock::Kind::kServing}) {
    lockFileSlot(kind).reset();
    const std::wstring path = lockFilePath(kind);
    const bool there = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    // Shared with nobody: it goes only while no Varnick has it open.
    removals.push_back({path, there, there ? removePlainFile(path, 0) : ERROR_SUCCESS});
  }
  return removals;
}

}  // namespace varnick
