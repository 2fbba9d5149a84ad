#include "hosts/hosts_lock_win32.h"

#include "base/file_identity_win32.h"
#include "base/object_rules_win32.h"
#include "base/security_descriptor_win32.h"
#include "base/srw_lock_guard_win32.h"
#include "base/unique_resource_win32.h"
#include "hosts/hosts_location.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

// The file is opened at its first use and checked then, and kept open; each
// take is a byte-range lock on it, which the system lets go when the handle
// closes, also when the process is killed. The file itself stays: another
// Varnick may have it open.
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
  if (SystemResult converted = rules.convert(kLockFileRules); !converted)
    return {UniqueFile(), converted.error()};
  LockFile lock{UniqueFile(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, rules.attributes(),
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr))};
  if (lock.file) {
    lock.error = errorCodeOf(checkIsFileMeant(lock.file.get(), path));
  } else {
    lock.error = GetLastError();
  }
  if (lock.error != ERROR_SUCCESS) lock.file.reset();
  return lock;
}

// Each kept open, once opened, for the rest of the run unless
// removeUnheldLockFiles lets it go; only under `slotsLock`, since the
// service's connections take locks from threads of their own.
SRWLOCK slotsLock = SRWLOCK_INIT;

UniqueFile& lockFileSlot(HostsLock::Kind kind) {
  static UniqueFile write;
  static UniqueFile serving;
  return kind == HostsLock::Kind::kWrite ? write : serving;
}

// The lock file's handle, or null and the error code. An open that failed
// is not kept: the next call tries again, so that a service that met a link
// at the name, or a passing failure, is not left without the lock for the
// rest of its run.
struct OpenedLock {
  HANDLE file = nullptr;
  DWORD error = ERROR_SUCCESS;
};

OpenedLock lockFile(HostsLock::Kind kind) {
  SrwLockGuard guard(slotsLock);
  UniqueFile& slot = lockFileSlot(kind);
  if (!slot) {
    LockFile opened = openLockFile(kind);
    if (opened.error != ERROR_SUCCESS) return {nullptr, opened.error};
    slot = std::move(opened.file);
  }
  return {slot.get(), ERROR_SUCCESS};
}

}  // namespace

HostsLock::~HostsLock() {
  if (!held_) return;
  OVERLAPPED whole{};
  // Held, so open. A destructor has no one to tell of a failure; the
  // system lets the range go when the handle closes, at the latest when
  // the process ends.
  UnlockFileEx(lockFile(kind_).file, 0, 1, 0, &whole);
}

StepResult HostsLock::tryTake() {
  const OpenedLock lock = lockFile(kind_);
  if (lock.file == nullptr) return failedAt(Attempt::kFailed, lock.error);
  OVERLAPPED whole{};
  const DWORD exclusive = sharing_ == Sharing::kExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
  if (LockFileEx(lock.file, exclusive | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    held_ = true;
    return {};
  }
  DWORD error = GetLastError();
  return failedAt(error == ERROR_LOCK_VIOLATION ? Attempt::kBusy : Attempt::kFailed, error);
}

SystemResult HostsLock::take(std::uint32_t waitMs, const BusyNotice& onFirstBusy) {
  SystemClock clock;
  StepResult result =
      retryWhileBusy([this] { return tryTake(); }, clock, {waitMs, kLockPauseMs}, onFirstBusy);
  if (result) return {};
  if (isBusy(result)) return unexpected(ERROR_TIMEOUT);
  return unexpected(result.error().code);
}

void openLockFiles() {
  // A failure is not kept: the first take tries again and returns its code.
  (void)lockFile(HostsLock::Kind::kWrite);
  (void)lockFile(HostsLock::Kind::kServing);
}

std::vector<LockFileRemoval> removeUnheldLockFiles() {
  std::vector<LockFileRemoval> removals;
  for (HostsLock::Kind kind : {HostsLock::Kind::kWrite, HostsLock::Kind::kServing}) {
    {
      SrwLockGuard guard(slotsLock);
      lockFileSlot(kind).reset();
    }
    const std::wstring path = lockFilePath(kind);
    const bool there = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    // Shared with nobody: it goes only while no Varnick has it open.
    removals.push_back(
        {path, there, there ? errorCodeOf(removePlainFile(path, 0)) : ERROR_SUCCESS});
  }
  return removals;
}

}  // namespace varnick
