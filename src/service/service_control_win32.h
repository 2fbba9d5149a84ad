// The Varnick service as the service control manager knows it: installed
// from %ProgramFiles%\Varnick (where only administrators may write),
// started automatically, restarted on failure, with no privilege but the
// one it needs; stopped and removed again.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/expected.h"

namespace varnick {

constexpr wchar_t kServiceName[] = L"Varnick";
constexpr wchar_t kServiceDisplayName[] = L"Varnick hosts entries";

enum class ServiceStep {
  kNoFolder,      // %ProgramFiles% unknown, or its Varnick folder could not be made
  kCopyFailed,    // varnick.exe could not be copied there
  kNoManager,     // the service control manager could not be opened
  kNoService,     // the service is there but could not be opened
  kCreateFailed,  // the service could not be created or updated
  kConfigFailed,  // its failure actions, access rules or privileges could not be set
  kStartFailed,
  kQueryFailed,  // its state could not be read while waiting for it to start or stop
  kNotInstalled,
  kStopFailed,
  kDeleteFailed,
  kRemoveFailed,  // its files could not be removed
};

// Why an install or an uninstall stopped, completing "the service: ".
[[nodiscard]] const char* serviceStepText(ServiceStep step);

using ServiceResult = Expected<void, StepFailure<ServiceStep>>;

// An install that is done: whether the system took the settings that
// Windows has taken since Vista (the failure actions' flag, so that the
// service is restarted after a stop with an error too, and the required
// privileges, so that it keeps only the one it needs).
struct ServiceInstalled {
  bool newerConfigTaken = true;
};
using InstallResult = Expected<ServiceInstalled, StepFailure<ServiceStep>>;

// What configure() says when the system took all but the settings that
// Windows has taken since Vista: the failure actions' flag (restart after a
// stop with an error too) or the required privileges.
constexpr DWORD kNewerConfigNotTaken = 0x20000001;  // a customer code: no system error

// %ProgramFiles%\Varnick: where the service's varnick.exe and its log live.
[[nodiscard]] std::wstring serviceFolder();

// Copies this varnick.exe into serviceFolder() (stopping an older service
// first) and registers and starts the service from there, with
// kServiceRules and its folder with kServiceFolderRules (object_rules_win32.h).
// Done without newerConfigTaken when the system took no failure-actions
// flag or no required-privileges information (ERROR_INVALID_LEVEL), so that
// the service is restarted only after a crash or runs with all of its
// account's.
[[nodiscard]] InstallResult installService();

// Stops the service, waiting up to `waitMs` for it to take its
// connections' entries out, removes it, then its folder's varnick.exe.
[[nodiscard]] ServiceResult uninstallService(std::uint32_t waitMs);

// The process id of the running service; 0 when it is not running (or not
// installed).
[[nodiscard]] DWORD runningServicePid();

}  // namespace varnick
