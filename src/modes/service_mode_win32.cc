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
#include "base/srw_lock_guard_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/hosts_store_win32.h"
#include "hosts/session_append.h"
#include "hosts/take_out.h"
#include "hosts/visible_text.h"
#include "modes/modes.h"
#include "modes/recovery.h"
#include "modes/serving_win32.h"
#include "log/rotation.h"
#include "modes/work_report.h"
#include "service/client_identity_win32.h"
#include "service/entry_policy.h"
#include "service/holdings.h"
#include "service/pipe_server_win32.h"
#include "service/policy_registry_win32.h"
#include "service/service_control_win32.h"

namespace varnick {
namespace {

// How long a stop may take, as the service control manager is told: every
// connection's take-out, each of which waits for the hosts file up to
// kRestoreWaitMs.
constexpr DWORD kStopWaitHintMs = 70000;

// Connections make records from threads of their own: one at a time.
SRWLOCK recordLock = SRWLOCK_INIT;

// Holds `recordLock` for as long as it lives.
class RecordLockGuard : public SrwLockGuard {
 public:
  RecordLockGuard() : SrwLockGuard(recordLock) {}
};

// Who holds which entries, for every connection at once, under
// `holdingsLock`: a check against the bounds and the count it makes are one
// step.
SRWLOCK holdingsLock = SRWLOCK_INIT;

// Holds `holdingsLock` for as long as it lives.
class HoldingsLockGuard : public SrwLockGuard {
 public:
  HoldingsLockGuard() : SrwLockGuard(holdingsLock) {}
};

// What a caller sent, shown in a record as data: control characters
// escaped, never a line break of its own.
std::string shown(std::string_view text) { return visibleText(text); }

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

// Tells the service control manager the service's state. Takes the record
// lock for a failure's record, so its callers must not hold it. A failure is
// recorded once: the next report would most likely fail alike.
void reportState(DWORD state, DWORD exitCode = NO_ERROR) {
  static DWORD checkPoint = 0;
  static std::atomic<bool> failureRecorded{false};
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwWaitHint = pending ? kStopWaitHintMs : 0;
  status.dwCheckPoint = pending ? ++checkPoint : 0;
  if (SetServiceStatus(statusHandle, &status)) return;
  const DWORD error = GetLastError();
  if (failureRecorded.exchange(true)) return;
  RecordLockGuard guard;
  logMessage(kError, getLogger("Service"),
             "Failed to tell the service control manager the service's state %u %d",
             static_cast<unsigned>(state), static_cast<int>(error));
}

// One connection: its entries, each checked by the policy and the bounds,
// counted, and recorded in its own journal before it goes in, and taken out
// at its end. Its calls come one at a time.
class ServiceConnection final : public PipeConnection {
 public:
  ServiceConnection(Logger* log, Holdings& holdings, const EntryPolicy& policy, Caller caller,
                    std::uint64_t id)
      : log_(log), holdings_(holdings), policy_(policy), caller_(std::move(caller)), id_(id) {}

  const std::string& user() const override { return caller_.user; }
  bool holdsEntries() const override { return held_.load() != 0; }

  ServiceReply list() override {
    HoldingsLockGuard guard;
    return {ServiceStatus::kDone, PolicyRule::kAllowed, 0, holdings_.listFor(caller_)};
  }

  ServiceReply hello(std::uint32_t /*clientVersion*/) override {
    return {ServiceStatus::kDone, PolicyRule::kAllowed, kServiceProtocolVersion,
            policyText(policy_)};
  }

  ServiceReply add(const std::string& entry) override {
    PolicyVerdict verdict;
    {
      HoldingsLockGuard guard;
      verdict = holdings_.reserve(id_, caller_, entry);
    }
    if (!verdict.allowed()) {
      // Said once, at the connection's end: a caller that asks again and
      // again makes one record.
      if (refusals_++ == 0) firstRefusal_ = "'" + shown(entry) + "': " + shown(verdict.detail);
      return {ServiceStatus::kRefused, verdict.rule, 0, verdict.detail};
    }
    ++held_;
    if (std::optional<ServiceReply> failed = startJournal()) {
      giveBack(entry);
      return *failed;
    }
    JournaledAppend appended = appendJournaled(store_, journal_, entry);
    RecordLockGuard guard;
    if (appended.unrecorded != ERROR_SUCCESS) {
      // The connection's own end goes by what it knows; only a recovery
      // would still look for the line.
      logMessage(kError, log_, "Failed to record in the journal of %s that '%s' did not go in %d",
                 caller_.account.c_str(), shown(entry).c_str(),
                 static_cast<int>(appended.unrecorded));
    }
    if (!appended.appended) {
      giveBack(entry);
      const StepFailure<AppendStep>& failure = appended.appended.error();
      const char* why = appendStepText(failure.step);
      logMessage(kError, log_, "Failed to add '%s' for %s: %s %d", shown(entry).c_str(),
                 caller_.account.c_str(), why, static_cast<int>(failure.code));
      return {ServiceStatus::kFailed, PolicyRule::kAllowed, failure.code, why};
    }
    logMessage(kInfo, log_, "Added '%s' for %s", shown(entry).c_str(), caller_.account.c_str());
    return {};
  }

  ConnectionEnd end() override {
    ConnectionEnd ended;
    if (!takeOut(ended.report)) {
      ended.reply = {
          ServiceStatus::kFailed, PolicyRule::kAllowed, 0,
          "the lines could not all be taken out; the service tries again at its next start"};
    }
    return ended;
  }

  void closed(bool malformed) override {
    Report report;
    (void)takeOut(report);  // its own records say what went wrong
    if (!malformed && refusals_ == 0) return;
    RecordLockGuard guard;
    if (malformed) {
      logMessage(kInfo, log_, "Closed the connection of %s: a request out of the protocol",
                 caller_.account.c_str());
    }
    if (refusals_ != 0) {
      logMessage(kInfo, log_, "Refused %u entries of %s, the first %s",
                 static_cast<unsigned>(refusals_), caller_.account.c_str(), firstRefusal_.c_str());
    }
  }

 private:
  void giveBack(const std::string& entry) {
    HoldingsLockGuard guard;
    holdings_.release(id_, entry);
    --held_;
  }

  // The journal and the shared serving lock, from the first entry on. A
  // failed reply when either cannot be had.
  std::optional<ServiceReply> startJournal() {
    if (journalOpen_) return std::nullopt;
    // Shared with sessions; a bare server, whose restore would put back a
    // whole old file, waits until this connection's lines are out.
    serving_.emplace(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    if (const SystemResult taken = serving_->take(kServingLockWaitMs); !taken) {
      const std::uint32_t locked = taken.error();
      serving_.reset();
      RecordLockGuard guard;
      if (locked == ERROR_TIMEOUT) {
        logMessage(kError, log_,
                   "Failed to take the serving lock for %s %d: a Varnick server did not end "
                   "within %u s",
                   caller_.account.c_str(), static_cast<int>(locked),
                   static_cast<unsigned>(kServingLockWaitMs / 1000));
      } else {
        logMessage(kError, log_, "Failed to take the serving lock for %s %d",
                   caller_.account.c_str(), static_cast<int>(locked));
      }
      return ServiceReply{ServiceStatus::kFailed, PolicyRule::kAllowed, locked,
                          locked == ERROR_TIMEOUT
                              ? "a Varnick server holds the hosts file; try again when it ends"
                              : "the service could not take the serving lock of the hosts file"};
    }
    StoreResult<std::string> name = nameSessionJournal(store_);
    if (!name) {
      serving_.reset();
      RecordLockGuard guard;
      logMessage(kError, log_, "Failed to name the journal of %s: the system gave no random bytes",
                 caller_.account.c_str());
      return ServiceReply{ServiceStatus::kFailed, PolicyRule::kAllowed, ERROR_INVALID_DATA,
                          "the service could not name its journal"};
    }
    if (StoreResult<void> created = journal_.create(store_, *name, localTimeText()); !created) {
      const std::uint32_t error = created.error().code;
      // One that could not go names no line: the next start removes it.
      journal_.removeAndClose().ignore();
      serving_.reset();
      RecordLockGuard guard;
      logMessage(kError, log_, "Failed to create the journal %s of %s %d",
                 store_.shownPath(*name).c_str(), caller_.account.c_str(), static_cast<int>(error));
      return ServiceReply{ServiceStatus::kFailed, PolicyRule::kAllowed, error,
                          "the service could not create its journal"};
    }
    journalOpen_ = true;
    return std::nullopt;
  }

  // Takes the connection's lines out and its journal away: whether the
  // hosts file is right. A failure keeps the journal for the next start.
  bool takeOut(Report& report) {
    {
      HoldingsLockGuard guard;
      holdings_.releaseAll(id_);
      held_ = 0;
    }
    if (!journalOpen_) return true;
    journalOpen_ = false;
    TakeOutResult taken =
        takeOutLinesWithin(store_, journal_, journal_.lines(), kRestoreWaitMs, nullptr);
    RecordLockGuard guard;
    WorkReport work(log_, "Connection of " + caller_.account);
    const bool hostsFilePutRight = finishTakeOut(store_, taken, journal_, work, log_);
    serving_.reset();
    report = work.items();
    return hostsFilePutRight;
  }

  Logger* log_;
  Holdings& holdings_;
  const EntryPolicy& policy_;
  const Caller caller_;
  const std::uint64_t id_;
  std::atomic<std::size_t> held_{0};
  std::size_t refusals_ = 0;
  std::string firstRefusal_;
  std::optional<HostsLock> serving_;
  const std::unique_ptr<HostsStore> hosts_ = makeWin32HostsStore();
  HostsStore& store_ = *hosts_;
  JournalFile journal_;
  bool journalOpen_ = false;
};

// The service's side of the pipe server: a connection for each client
// whose user can be read, and the tally of what the server closed.
class ServiceOwner final : public PipeOwner {
 public:
  ServiceOwner(Logger* log, const EntryPolicy& policy)
      : log_(log), policy_(policy), holdings_(policy) {}

  void ready() override {
    {
      RecordLockGuard guard;
      logMessage(kInfo, log_, "Serving %s in process %u", wideToUtf8(kServicePipeName).c_str(),
                 static_cast<unsigned>(GetCurrentProcessId()));
    }
    reportState(SERVICE_RUNNING);
  }

  std::unique_ptr<PipeConnection> connect(DWORD clientPid) override {
    std::optional<Caller> caller = identifyClient(clientPid);
    if (!caller) return nullptr;
    return std::make_unique<ServiceConnection>(log_, holdings_, policy_, std::move(*caller),
                                               ++lastId_);
  }

  void tally(const PipeTally& tally) override {
    RecordLockGuard guard;
    logMessage(kInfo, log_,
               "Closed or turned away connections lately: %llu over the bounds, %llu idle, %llu "
               "of an unknown user; %llu instances failed (last %d)",
               static_cast<unsigned long long>(tally.overBounds),
               static_cast<unsigned long long>(tally.idle),
               static_cast<unsigned long long>(tally.unknown),
               static_cast<unsigned long long>(tally.failedInstances),
               static_cast<int>(tally.lastFailure));
  }

 private:
  Logger* log_;
  const EntryPolicy& policy_;
  Holdings holdings_;
  std::atomic<std::uint64_t> lastId_{0};
};

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
  // Before a shutdown the system waits for the preshutdown's end (up to the
  // time the install set), so every connection's lines come out first.
  if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_PRESHUTDOWN) {
    {
      RecordLockGuard guard;
      logMessage(kInfo, getLogger("Service"), "Asked to stop (%u)", static_cast<unsigned>(code));
    }
    reportState(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
  }
  return NO_ERROR;
}

// What a power cut left of earlier connections goes before any client can
// connect, under the serving lock as a session's Varnick takes it: a bare
// server's later restore must not put back lines whose journal is gone.
void recoverEarlierConnections(Logger* log) {
  HostsLock serving(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
  RecordLockGuard guard;
  if (!takeServingLock(log, serving)) {
    logMessage(kError, log, "Left the journals of earlier connections for the next recovery");
    return;
  }
  WorkReport recovery(getLogger("Recovery"));
  const std::unique_ptr<HostsStore> store = makeWin32HostsStore();
  (void)recoverInterruptedSessions(*store, recovery, false);  // its records say what failed
}

EntryPolicy readPolicy(Logger* log) {
  std::vector<std::string> problems;
  EntryPolicy policy = widenedPolicy(readPolicyAdditions(problems), problems);
  RecordLockGuard guard;
  for (const std::string& problem : problems)
    logMessage(kError, log, "Left out of the policy: %s", shown(problem).c_str());
  logMessage(kInfo, log, "Policy: %s", shown(policyText(policy)).c_str());
  return policy;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
  Logger* log = getLogger("Service");
  statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, control, nullptr);
  if (!statusHandle) {
    // Without the handle no state can be reported: the record is all that
    // tells why the service did not start.
    const DWORD error = GetLastError();
    RecordLockGuard guard;
    logMessage(kError, log, "Failed to register the service's control handler %d",
               static_cast<int>(error));
    return;
  }
  reportState(SERVICE_START_PENDING);
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const DWORD stopError = stop ? ERROR_SUCCESS : GetLastError();
  stopEvent = stop.get();
  openLockFiles();
  recoverEarlierConnections(log);
  const EntryPolicy policy = readPolicy(log);
  ServiceOwner owner(log, policy);
  // A failure exit code makes the service control manager restart it.
  const SystemResult served =
      stop ? servePipe(stop.get(), owner) : SystemResult(unexpected(stopError));
  const DWORD error = errorCodeOf(served);
  {
    RecordLockGuard guard;
    if (error != ERROR_SUCCESS) {
      logMessage(kError, log, "Failed to serve %s %d", wideToUtf8(kServicePipeName).c_str(),
                 static_cast<int>(error));
    }
    logMessage(kInfo, log, "Stopped serving");
  }
  reportState(SERVICE_STOPPED, error);
}

// The record of an install's or uninstall's failure.
void logServiceFailure(Logger* log, const char* what, const StepFailure<ServiceStep>& failure) {
  logMessage(kError, log, "Failed to %s the service: %s %d%s%s", what,
             serviceStepText(failure.step), static_cast<int>(failure.code),
             failure.path.empty() ? "" : " ", wideToUtf8(failure.path.c_str()).c_str());
}

// The service's logs go with it, and its folder once empty. Nobody but
// administrators can have put anything there.
bool removeServiceLogs(Logger* log) {
  const std::wstring folder = serviceFolder();
  bool removed = true;
  for (int number = 0; number <= kLogCopies; ++number) {
    const std::string name = number == 0 ? "varnick.log" : logCopyName("varnick.log", number);
    const std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end());
    if (DeleteFileW(path.c_str())) continue;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) continue;
    removed = false;
    logMessage(kError, log, "Failed to remove %s %d", wideToUtf8(path.c_str()).c_str(),
               static_cast<int>(error));
  }
  if (!RemoveDirectoryW(folder.c_str())) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      logMessage(kInfo, log, "Left %s: other files are in it (%d)",
                 wideToUtf8(folder.c_str()).c_str(), static_cast<int>(error));
    }
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
    const DWORD error = GetLastError();
    logMessage(kError, log, "Failed to run as a service %d", static_cast<int>(error));
    return kExitFailure;
  }
  if (std::wcscmp(action, L"install") == 0) {
    InstallResult installed = installService();
    if (!installed) {
      logServiceFailure(log, "install", installed.error());
      return kExitFailure;
    }
    logMessage(kInfo, log, "Installed and started the service from %s",
               wideToUtf8(serviceFolder().c_str()).c_str());
    if (!installed->newerConfigTaken) {
      logMessage(kInfo, log,
                 "The system took no failure-actions flag or required privileges for the "
                 "service (%d): it is restarted after a crash only, and keeps every privilege "
                 "of LocalSystem",
                 static_cast<int>(ERROR_INVALID_LEVEL));
    }
    return kExitSuccess;
  }
  if (std::wcscmp(action, L"uninstall") == 0) {
    ServiceResult removed = uninstallService(kRestoreWaitMs + 10000);
    if (!removed) {
      logServiceFailure(log, "uninstall", removed.error());
      return kExitFailure;
    }
    logMessage(kInfo, log, "Stopped and removed the service");
    return removeServiceLogs(log) ? kExitSuccess : kExitFailure;
  }
  logMessage(kError, log, "Unknown service action %s", wideToUtf8(action).c_str());
  return kExitUsage;
}

}  // namespace varnick
