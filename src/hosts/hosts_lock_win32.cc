#include "hosts/hosts_lock_win32.h"

#include <sddl.h>

#include "base/file_identity_win32.h"
#include "hosts/hosts_location.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

// Protected from inheritance: full access for Administrators and SYSTEM only.
constexpr wchar_t kLockFileRules[] = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";

const wchar_t* suffixOf(HostsLock::Kind kind) {
  return kind == HostsLock::Kind::kWrite ? L".varnick-write-lock" : L".varnick-serving-lock";
}

}  // namespace

HostsLock::HostsLock(Kind kind) : path_(besideHostsFile(suffixOf(kind))) {}

HostsLock::~HostsLock() {
  // Removed so that nothing is left beside the hosts file; a holder that is
  // killed leaves its file, which the next one takes as it stands.
  if (file_) (void)deleteByHandle(file_.get());
}

StepResult HostsLock::tryTake() {
  PSECURITY_DESCRIPTOR rules = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockFileRules, SDDL_REVISION_1, &rules,
                                                            nullptr)) {
    return {Attempt::kFailed, GetLastError()};
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, rules, FALSE};
  // No sharing: while this handle is open, every other open that reads,
  // writes or deletes fails, and that is the lock.
  UniqueFile file(CreateFileW(path_.c_str(), GENERIC_READ | DELETE, 0, &attributes, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  DWORD error = file ? ERROR_SUCCESS : GetLastError();
  LocalFree(rules);
  // Access denied is what an open meets while the last holder's file is
  // being removed.
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
    return {Attempt::kBusy, error};
  if (error != ERROR_SUCCESS) return {Attempt::kFailed, error};
  if (DWORD wrong = checkIsFileMeant(file.get(), path_)) return {Attempt::kFailed, wrong};
  file_ = std::move(file);
  return {};
}

DWORD HostsLock::take(std::uint32_t waitMs, const BusyNotice& onFirstBusy) {
  SystemClock clock;
  StepResult result =
      retryWhileBusy([this] { return tryTake(); }, clock, {waitMs, kLockPauseMs}, onFirstBusy);
  if (result.attempt == Attempt::kBusy) return ERROR_TIMEOUT;
  return result.error;
}

}  // namespace varnick
