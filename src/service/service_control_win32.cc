#include "service/service_control_win32.h"

#include "base/file_io_win32.h"
#include "base/object_rules_win32.h"
#include "base/security_descriptor_win32.h"
#include "base/unique_resource_win32.h"

namespace varnick {
namespace {

// How long the system waits for the service's preshutdown.
constexpr DWORD kPreshutdownMs = 60000;

// The pause between two looks at the service's state.
constexpr DWORD kPollMs = 50;

// The 64-bit Program Files folder, from HKLM: not from the environment,
// which any program of the user may change (HKCU\Environment) so that an
// elevated install would copy the service's program, and register it to
// run as LocalSystem, where that program could replace it.
std::wstring programFilesFolder() {
  wchar_t folder[MAX_PATH];
  DWORD size = sizeof folder;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion",
                   L"ProgramFilesDir", RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, folder,
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  return folder;
}

// Makes the service's folder with kServiceFolderRules, so that who may
// change the program that runs as SYSTEM does not depend on what
// %ProgramFiles% passes on; a folder that an earlier install left (only an
// administrator can make one there) gets the same rules, through a handle
// on the folder itself.
SystemResult makeServiceFolder(const std::wstring& folder) {
  SecurityDescriptor rules;
  if (SystemResult converted = rules.convert(kServiceFolderRules); !converted) return converted;
  if (CreateDirectoryW(folder.c_str(), rules.attributes())) return {};
  const DWORD made = GetLastError();
  if (made != ERROR_ALREADY_EXISTS) return unexpected(made);
  UniqueFile existing(CreateFileW(
      folder.c_str(), WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!existing) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  if (!SetKernelObjectSecurity(existing.get(), DACL_SECURITY_INFORMATION, rules.get())) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

// Waits until the service reports `state`, up to `waitMs`: done, `late`
// when it did not within that time, or kQueryFailed when its state could
// not be read.
ServiceResult awaitState(SC_HANDLE service, DWORD state, DWORD waitMs, const ServiceResult& late) {
  const ULONGLONG until = GetTickCount64() + waitMs;
  for (;;) {
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &size)) {
      const DWORD error = GetLastError();
      return failedAt(ServiceStep::kQueryFailed, error);
    }
    if (status.dwCurrentState == state) return {};
    if (GetTickCount64() >= until) return late;
    Sleep(kPollMs);
  }
}

// Stops the service if it runs, and waits for its process to end too (it
// still holds its program for a moment after it says it has stopped): done,
// kStopFailed, or kQueryFailed.
ServiceResult stopService(SC_HANDLE service, DWORD waitMs) {
  SERVICE_STATUS_PROCESS before{};
  DWORD size = 0;
  UniqueHandle process;
  // A process that cannot be named here is not waited for; the wait for the
  // stopped state below reads the state again and says why it cannot.
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&before),
                           sizeof before, &size) &&
      before.dwProcessId != 0) {
    process.reset(OpenProcess(SYNCHRONIZE, FALSE, before.dwProcessId));
  }
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_NOT_ACTIVE) return failedAt(ServiceStep::kStopFailed, error);
    return {};
  }
  ServiceResult stopped = awaitState(service, SERVICE_STOPPED, waitMs,
                                     failedAt(ServiceStep::kStopFailed, ERROR_TIMEOUT));
  if (!stopped) return stopped;
  if (process && WaitForSingleObject(process.get(), waitMs) != WAIT_OBJECT_0)
    return failedAt(ServiceStep::kStopFailed, ERROR_TIMEOUT);
  return {};
}

// Gives the service kServiceRules, so that who may start and stop it is
// written down here rather than left to the system's default.
SystemResult setServiceRules(SC_HANDLE service) {
  SecurityDescriptor rules;
  if (SystemResult converted = rules.convert(kServiceRules); !converted) return converted;
  if (!SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, rules.get())) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

// Sets information that Windows has taken since Vista and Wine 8 does not
// (ERROR_INVALID_LEVEL there, for both levels below): 0,
// kNewerConfigNotTaken, or the error code. A bare code: its callers keep
// going on kNewerConfigNotTaken and tell the installer, which a result would
// hide among the failures.
DWORD setNewerConfig(SC_HANDLE service, DWORD level, void* info) {
  if (ChangeServiceConfig2W(service, level, info)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  return error == ERROR_INVALID_LEVEL ? kNewerConfigNotTaken : error;
}

// Restart after a failure (a second later, three times in a day), also
// after a stop that reports an error, not only a crash; who may start and
// stop it; and only the privilege every process has: the service needs its
// account's access to the hosts file, and no privilege at all. 0,
// kNewerConfigNotTaken or the error code, bare as setNewerConfig's.
DWORD configure(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(
      L"Adds hosts entries for programs of this machine's users, within its policy, "
      L"for exactly as long as each program holds its connection.")};
  SC_ACTION restart[3] = {
      {SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 1000}};
  SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, restart};
  SERVICE_FAILURE_ACTIONS_FLAG onErrorStops{TRUE};
  // Before a shutdown, time for every connection's take-out (each waits for
  // the hosts file up to kRestoreWaitMs); the default is 10 s.
  SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownMs};
  wchar_t privileges[] = L"SeChangeNotifyPrivilege\0";
  SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
    return GetLastError();
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return GetLastError();
  if (SystemResult ruled = setServiceRules(service); !ruled) return ruled.error();
  // Where they are not taken, the service is restarted only after a crash,
  // and keeps every privilege of its account.
  const DWORD flag = setNewerConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops);
  if (flag != ERROR_SUCCESS && flag != kNewerConfigNotTaken) return flag;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown))
    return GetLastError();
  const DWORD limited = setNewerConfig(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required);
  return limited != ERROR_SUCCESS ? limited : flag;
}

}  // namespace

const char* serviceStepText(ServiceStep step) {
  switch (step) {
    case ServiceStep::kNoFolder:
      return "could not make its folder";
    case ServiceStep::kCopyFailed:
      return "could not copy varnick.exe there";
    case ServiceStep::kNoManager:
      return "could not open the service control manager";
    case ServiceStep::kNoService:
      return "could not open the installed service";
    case ServiceStep::kCreateFailed:
      return "could not create the service";
    case ServiceStep::kConfigFailed:
      return "could not set its restart and privileges";
    case ServiceStep::kStartFailed:
      return "could not start it";
    case ServiceStep::kQueryFailed:
      return "could not read its state";
    case ServiceStep::kNotInstalled:
      return "it is not installed";
    case ServiceStep::kStopFailed:
      return "could not stop it";
    case ServiceStep::kDeleteFailed:
      return "could not remove it";
    case ServiceStep::kRemoveFailed:
      return "could not remove its files";
  }
  return "";
}

std::wstring serviceFolder() {
  const std::wstring base = programFilesFolder();
  return base.empty() ? std::wstring() : base + L"\\Varnick";
}

InstallResult installService() {
  const std::wstring folder = serviceFolder();
  if (folder.empty()) return failedAt(ServiceStep::kNoFolder, ERROR_PATH_NOT_FOUND);
  if (SystemResult made = makeServiceFolder(folder); !made)
    return failedAt(ServiceStep::kNoFolder, made.error(), folder);
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kNoManager, error);
  }
  // An older service is stopped first: its program is about to be replaced.
  UniqueServiceHandle existing(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (existing) {
    if (ServiceResult stopped = stopService(existing.get(), 60000); !stopped)
      return unexpected(stopped.error());
  } else if (const DWORD error = GetLastError(); error != ERROR_SERVICE_DOES_NOT_EXIST) {
    // One that is there but cannot be opened is not installed again over it.
    return failedAt(ServiceStep::kNoService, error);
  }
  const std::wstring program = folder + L"\\varnick.exe";
  if (thisProgramPath() != program &&
      !CopyFileW(thisProgramPath().c_str(), program.c_str(), FALSE)) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kCopyFailed, error, program);
  }
  const std::wstring command = L"\"" + program + L"\" service run";
  UniqueServiceHandle created(
      existing
          ? nullptr
          : CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                           command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  SC_HANDLE service = existing ? existing.get() : created.get();
  if (!service) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kCreateFailed, error);
  }
  if (existing && !ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                        SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                        nullptr, nullptr, nullptr, kServiceDisplayName)) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kCreateFailed, error);
  }
  const DWORD configured = configure(service);
  if (configured != ERROR_SUCCESS && configured != kNewerConfigNotTaken)
    return failedAt(ServiceStep::kConfigFailed, configured);
  if (!StartServiceW(service, 0, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING) return failedAt(ServiceStep::kStartFailed, error);
  }
  ServiceResult started =
      awaitState(service, SERVICE_RUNNING, 30000,
                 failedAt(ServiceStep::kStartFailed, ERROR_SERVICE_REQUEST_TIMEOUT));
  if (!started) return unexpected(started.error());
  // Done, but said: its restart or its privileges could not be limited.
  return ServiceInstalled{configured != kNewerConfigNotTaken};
}

ServiceResult uninstallService(std::uint32_t waitMs) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kNoManager, error);
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) {
    const DWORD error = GetLastError();
    return failedAt(error == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceStep::kNotInstalled
                                                          : ServiceStep::kNoService,
                    error);
  }
  if (ServiceResult stopped = stopService(service.get(), waitMs); !stopped) return stopped;
  if (!DeleteService(service.get())) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kDeleteFailed, error);
  }
  const std::wstring folder = serviceFolder();
  const std::wstring program = folder + L"\\varnick.exe";
  // Run from there, this program cannot remove itself now: it goes at the
  // next restart.
  if (!DeleteFileW(program.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
      !MoveFileExW(program.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
    const DWORD error = GetLastError();
    return failedAt(ServiceStep::kRemoveFailed, error, program);
  }
  return {};
}

DWORD runningServicePid() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  // A service that cannot be opened or read here cannot serve this caller
  // either: it counts as not running, and the caller says so.
  if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &size)) {
    return 0;
  }
  return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

}  // namespace varnick
