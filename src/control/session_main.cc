// varnick-session: hosts entries that last exactly as long as a command.
//
//   varnick-session [--backup PATH] [--port N] --add ENTRY ... [-- COMMAND ...]
//
// Starts `varnick server` (elevated), adds the entries, runs the command and
// waits for it, then shuts Varnick down, which restores the hosts file.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "control/controller.h"
#include "control/session.h"
#include "control/session_checks.h"
#include "control/session_exit_codes.h"
#include "control/session_options.h"

namespace varnick::control {
namespace {

// One session at a time on the machine: a second one would back up the
// first one's entries and later restore them, or remove them under it.
constexpr wchar_t kSessionLockName[] = L"Global\\VarnickSession";

// Set by Ctrl+C, Ctrl+Break or closing the console; the main thread then
// ends the session in order. `gDone` tells a closing console's handler that
// the restore has happened and the process may go.
HANDLE gStop = nullptr;
HANDLE gDone = nullptr;
std::atomic<bool> gInterrupted{false};

BOOL WINAPI onConsoleEvent(DWORD event) {
  gInterrupted = true;
  SetEvent(gStop);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process when this returns: wait for the shutdown.
    WaitForSingleObject(gDone, 4500);
  }
  return TRUE;
}

// The entries in the bytes they are sent as, each checked to make one line
// of the hosts file; nothing (and a report) when one cannot.
std::optional<std::vector<std::string>> entriesToSend(const SessionOptions& options) {
  std::vector<std::string> entries;
  for (const std::wstring& entry : options.entries) {
    std::string bytes = options.utf8 ? entryInUtf8(entry) : entryInOemCodePage(entry);
    if (std::optional<std::string> problem = entryProblem(bytes)) {
      report("the entry '" + visibleText(wideToUtf8(entry.c_str())) + "' " + *problem);
      return std::nullopt;
    }
    entries.push_back(std::move(bytes));
  }
  return entries;
}

// Holds the machine's session lock for as long as it lives.
class SessionLock {
 public:
  // Waits up to `timeoutSeconds` for another session to end. An exit code
  // when this session must not go on.
  std::optional<int> acquire(int timeoutSeconds) {
    mutex_.reset(CreateMutexW(nullptr, FALSE, kSessionLockName));
    if (!mutex_) return std::nullopt;  // no lock to be had: nothing to wait for
    if (take(0)) return std::nullopt;
    report("waiting for another varnick-session to end");
    HANDLE waits[] = {mutex_.get(), gStop};
    DWORD woke = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeoutSeconds) * 1000);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED_0) {
      held_ = true;
      return std::nullopt;
    }
    if (woke == WAIT_OBJECT_0 + 1) return kSessionInterrupted;
    report("another varnick-session did not end within " + std::to_string(timeoutSeconds) +
           " seconds; giving up");
    return kSessionBusy;
  }

  ~SessionLock() {
    if (held_) ReleaseMutex(mutex_.get());
  }

 private:
  bool take(DWORD ms) {
    DWORD result = WaitForSingleObject(mutex_.get(), ms);
    // Abandoned: the last session was killed, and its Varnick restored the
    // hosts file when the connection closed.
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return held_;
  }

  UniqueHandle mutex_;
  bool held_ = false;
};

int run(int argc, wchar_t** argv) {
  ParsedOptions parsed = parseSessionOptions(std::vector<std::wstring>(argv + 1, argv + argc));
  if (!parsed.options) {
    report(parsed.error);
    std::fputs(kSessionUsageText, stderr);
    return kSessionUsage;
  }
  std::optional<std::vector<std::string>> entries = entriesToSend(*parsed.options);
  if (!entries) return kSessionUsage;

  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  gStop = stop.get();
  gDone = done.get();
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  int result = 0;
  {
    SessionLock lock;
    std::optional<int> busy = lock.acquire(parsed.options->connectTimeoutSeconds);
    result = busy ? *busy : runSession(*parsed.options, *entries, Interruption{gStop, &gInterrupted});
  }
  SetEvent(gDone);
  return result;
}

}  // namespace
}  // namespace varnick::control

int wmain(int argc, wchar_t** argv) { return varnick::control::run(argc, argv); }
