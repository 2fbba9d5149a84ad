// `varnick service install | uninstall | run`: the Varnick service, which
// adds entries that its policy allows for any interactive user's program,
// for as long as that program keeps its pipe connection, with no consent
// prompt. Each connection keeps a session's journal, so that its lines are
// taken out when it ends, however it ends, and recovered after a power cut.
#include <windows.h>

#include <atomic>
#include <map>
#include <utility>
#include <vector>
#include <memory>
#include <optional>
#include <string>

#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/session_files_win32.h"
#include "modes/modes.h"
#include "modes/recovery_win32.h"
#include "modes/serving_win32.h"
#include "log/rotation.h"
#include "modes/work_report.h"
#include "service/entry_policy.h"
#include "service/pipe_server_win32.h"
#include "service/policy_registry_win32.h"
#include "service/service_control_win32.h"

namespace varnick {
namespace {

// Connections make records from threads of their own: one at a time.
SRWLOCK recordLock = SRWLOCK_INIT;

// Holds `lock` for as long as it lives.
class Turn {
 public:
  explicit Turn(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~Turn() { ReleaseSRWLockExclusive(&lock_); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  SRWLOCK& lock_;
};

// A turn at making records.
class RecordTurn : public Turn {
 public:
  RecordTurn() : Turn(recordLock) {}
};

// "DOMAIN\user" of the process `pid`, from its token: who the connection
// acts for, for the records only; nothing is allowed by who asks, so a
// lie here gains nothing. The service reads the client's process token
// rather than impersonating it: Wine stubs ImpersonateNamedPipeClient (it
// returns the service's own token), and under Wine every process is the
// same user.
std::string processUser(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  HANDLE rawToken = nullptr;
  if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &rawToken))
    return "an unknown user";
  UniqueHandle token(rawToken);
  alignas(TOKEN_USER) unsigned char buffer[256];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size))
    return "an unknown user";
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameSize = 256;
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name, &nameSize,
                         domain, &domainSize, &use)) {
    return "an unknown user";
  }
  return wideToUtf8(domain) + "\\" + wideToUtf8(name);
}

// What the service holds for every connection at once, for its bound.
std::atomic<std::size_t> heldInAll{0};

// Who holds which entries, for `list`: each connection's line, under
// `holdersLock`.
SRWLOCK holdersLock = SRWLOCK_INIT;
std::map<const void*, std::pair<std::string, std::vector<std::string>>> holders;

// A turn at the holders.
class HoldersTurn : public Turn {
 public:
  HoldersTurn() : Turn(holdersLock) {}
};

// One connection: its entries, each checked by the policy and recorded in
// its own journal before it goes in, and taken out at its end.
class ServiceConnection final : public PipeConnection {
 public:
  ServiceConnection(Logger* log, const EntryPolicy& policy, DWORD pid)
      : log_(log),
        policy_(policy),
        who_(processUser(pid) + " (process " + std::to_string(pid) + ")") {
    RecordTurn turn;
    logMessage(kInfo, log_, "Connection of %s", who_.c_str());
  }

  ~ServiceConnection() override {
    HoldersTurn turn;
    holders.erase(this);
  }

  ServiceReply list() override {
    std::string text;
    HoldersTurn turn;
    for (const auto& [connection, holder] : holders) {
      if (holder.second.empty()) continue;
      std::string entries;
      for (const std::string& entry : holder.second)
        entries += (entries.empty() ? "" : ", ") + entry;
      text += (text.empty() ? "" : "\n") + holder.first + ": " + entries;
    }
    return {ServiceStatus::kDone, PolicyRule::kAllowed, 0, text};
  }

  ServiceReply hello(std::uint32_t /*clientVersion*/) override {
    return {ServiceStatus::kDone, PolicyRule::kAllowed, kServiceProtocolVersion,
            policyText(policy_)};
  }

  ServiceReply add(const std::string& entry) override {
    PolicyVerdict verdict = checkEntry(policy_, entry, held_, heldInAll.load());
    if (!verdict.allowed()) {
      RecordTurn turn;
      logMessage(kInfo, log_, "Refused '%s' of %s: %s", entry.c_str(), who_.c_str(),
                 verdict.detail.c_str());
      return {ServiceStatus::kRefused, verdict.rule, 0, verdict.detail};
    }
    if (std::optional<ServiceReply> failed = startJournal()) return *failed;
    AppendResult appended = appendSessionLine(
        entry, [this, &entry](LineStart start) { return journal_.appended(entry, start); });
    RecordTurn turn;
    if (!appended.done()) {
      if (appended.step == AppendStep::kWriteFailed) (void)journal_.appendFailed();
      logMessage(kError, log_, "Failed to add '%s' for %s %d", entry.c_str(), who_.c_str(),
                 static_cast<int>(appended.error));
      return {ServiceStatus::kFailed, PolicyRule::kAllowed, appended.error,
              "the hosts file could not be written"};
    }
    ++held_;
    ++heldInAll;
    {
      HoldersTurn holding;
      auto& holder = holders[this];
      holder.first = who_;
      holder.second.push_back(entry);
    }
    logMessage(kInfo, log_, "Added '%s' for %s", entry.c_str(), who_.c_str());
    return {};
  }

  ServiceReply end(Report& report) override {
    const bool right = takeOut(report);
    if (right) return {};
    return {ServiceStatus::kFailed, PolicyRule::kAllowed, 0,
            "the lines could not all be taken out; the service tries again at its next start"};
  }

  void closed(bool malformed) override {
    if (malformed) {
      RecordTurn turn;
      logMessage(kInfo, log_, "Closed the connection of %s: a request out of the protocol",
                 who_.c_str());
    }
    Report report;
    (void)takeOut(report);
  }

 private:
  // The journal and the shared serving lock, from the first entry on. A
  // failed reply when either cannot be had.
  std::optional<ServiceReply> startJournal() {
    if (journalOpen_) return std::nullopt;
    // Shared with sessions; a bare server, whose restore would put back a
    // whole old file, waits until this connection's lines are out.
    serving_.emplace(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    DWORD error = serving_->take(kServingLockWaitMs);
    if (error == ERROR_SUCCESS) {
      files_ = nameSessionFiles();
      error = files_ ? journal_.create(files_->journal, localTimeText()) : ERROR_INVALID_DATA;
    }
    if (error != ERROR_SUCCESS) {
      RecordTurn turn;
      logMessage(kError, log_, "Failed to start the journal of %s %d", who_.c_str(),
                 static_cast<int>(error));
      return ServiceReply{ServiceStatus::kFailed, PolicyRule::kAllowed, error,
                          "the service could not start its journal"};
    }
    journalOpen_ = true;
    return std::nullopt;
  }

  // Takes the connection's lines out and its journal away: whether the
  // hosts file is right. A failure keeps the journal for the next start.
  bool takeOut(Report& report) {
    if (!journalOpen_) return true;
    journalOpen_ = false;
    TakeOutResult taken = takeOutLinesWithin(journal_, journal_.lines(), kRestoreWaitMs, nullptr);
    heldInAll -= held_;
    held_ = 0;
    {
      HoldersTurn holding;
      holders.erase(this);
    }
    RecordTurn turn;
    WorkReport work(log_, "Connection of " + who_);
    const bool right = finishTakeOut(taken, journal_, files_->journal, work);
    serving_.reset();
    report = work.items();
    return right;
  }

  Logger* log_;
  const EntryPolicy& policy_;
  const std::string who_;
  std::optional<HostsLock> serving_;
  std::optional<SessionFiles> files_;
  JournalFile journal_;
  bool journalOpen_ = false;
  std::size_t held_ = 0;
};

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void reportState(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 70000 : 0;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
  if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
    {
      RecordTurn turn;
      logMessage(kInfo, getLogger("Service"), "Asked to stop (%u)", static_cast<unsigned>(code));
    }
    reportState(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
  }
  return NO_ERROR;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
  statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, control, nullptr);
  if (!statusHandle) return;
  reportState(SERVICE_START_PENDING);
  Logger* log = getLogger("Service");
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  stopEvent = stop.get();
  {
    // What a power cut left of earlier connections goes before any client
    // can connect.
    WorkReport recovery(getLogger("Recovery"));
    (void)recoverInterruptedSessions(recovery, false);
  }
  std::vector<std::string> problems;
  const EntryPolicy policy = widenedPolicy(readPolicyAdditions(problems), problems);
  {
    RecordTurn turn;
    for (const std::string& problem : problems)
      logMessage(kError, log, "Left out of the policy: %s", problem.c_str());
    logMessage(kInfo, log, "Policy: %s", policyText(policy).c_str());
  }
  openLockFiles();
  DWORD error = servePipe(
      stop.get(),
      [log, &policy](DWORD pid) { return std::make_unique<ServiceConnection>(log, policy, pid); },
      [log] {
        RecordTurn turn;
        logMessage(kInfo, log, "Serving %s in process %u", wideToUtf8(kServicePipeName).c_str(),
                   static_cast<unsigned>(GetCurrentProcessId()));
        reportState(SERVICE_RUNNING);
      });
  if (error != ERROR_SUCCESS) {
    RecordTurn turn;
    logMessage(kError, log, "Failed to serve %s %d", wideToUtf8(kServicePipeName).c_str(),
               static_cast<int>(error));
  }
  {
    RecordTurn turn;
    logMessage(kInfo, log, "Stopped serving");
  }
  reportState(SERVICE_STOPPED, error);
}

// The record of an install's or uninstall's failure.
void logServiceFailure(Logger* log, const char* what, const ServiceResult& result) {
  static const char* const kSteps[] = {
      "",
      "could not make its folder",
      "could not copy varnick.exe there",
      "could not open the service control manager",
      "could not create the service",
      "could not set its restart and privileges",
      "could not start it",
      "it is not installed",
      "could not stop it",
      "could not remove it",
      "could not remove its files",
  };
  logMessage(kError, log, "Failed to %s the service: %s %d%s%s", what,
             kSteps[static_cast<int>(result.step)], static_cast<int>(result.error),
             result.path.empty() ? "" : " ", wideToUtf8(result.path.c_str()).c_str());
}

// The service's logs go with it, and its folder once empty. Nobody but
// administrators can have put anything there.
bool removeServiceLogs(Logger* log) {
  const std::wstring folder = serviceFolder();
  bool removed = true;
  for (int number = 0; number <= kLogCopies; ++number) {
    const std::string name = number == 0 ? "varnick.log" : logCopyName("varnick.log", number);
    const std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end());
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      removed = false;
      logMessage(kError, log, "Failed to remove %s %d", wideToUtf8(path.c_str()).c_str(),
                 static_cast<int>(GetLastError()));
    }
  }
  if (!RemoveDirectoryW(folder.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    logMessage(kInfo, log, "Left %s: other files are in it (%d)",
               wideToUtf8(folder.c_str()).c_str(), static_cast<int>(GetLastError()));
  }
  return removed;
}

}  // namespace

int runService(const wchar_t* action) {
  Logger* log = getLogger("Service");
  if (std::wcscmp(action, L"run") == 0) {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), serviceMain},
                                    {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) return kExitSuccess;
    logMessage(kError, log, "Failed to run as a service %d", static_cast<int>(GetLastError()));
    return kExitFailure;
  }
  if (std::wcscmp(action, L"install") == 0) {
    ServiceResult installed = installService();
    if (!installed.done()) {
      logServiceFailure(log, "install", installed);
      return kExitFailure;
    }
    logMessage(kInfo, log, "Installed and started the service from %s",
               wideToUtf8(serviceFolder().c_str()).c_str());
    if (installed.error == ERROR_INVALID_LEVEL) {
      logMessage(kInfo, log,
                 "The system took no required privileges for the service (%d): it keeps every "
                 "privilege of LocalSystem",
                 static_cast<int>(installed.error));
    }
    return kExitSuccess;
  }
  if (std::wcscmp(action, L"uninstall") == 0) {
    ServiceResult removed = uninstallService(kRestoreWaitMs + 10000);
    if (!removed.done()) {
      logServiceFailure(log, "uninstall", removed);
      return kExitFailure;
    }
    logMessage(kInfo, log, "Stopped and removed the service");
    return removeServiceLogs(log) ? kExitSuccess : kExitFailure;
  }
  logMessage(kError, log, "Unknown service action %s", wideToUtf8(action).c_str());
  return kExitUsage;
}

}  // namespace varnick
