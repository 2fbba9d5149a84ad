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
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "control/command_line.h"
#include "control/controller.h"
#include "control/session_exit_codes.h"
#include "control/session_options.h"

namespace varnick::control {
namespace {

constexpr int kExitWaitSeconds = 30;

// Set by Ctrl+C, Ctrl+Break or closing the console; the main thread then
// shuts the session down. `gDone` tells a closing console's handler that the
// restore has happened and the process may go.
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

void report(const std::string& message) {
  std::fprintf(stderr, "varnick-session: %s\n", message.c_str());
  std::fflush(stderr);
}

std::wstring besideThisProgram(const wchar_t* name) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) ==
         path.size()) {
    path.resize(path.size() * 2);
  }
  path.resize(length);
  std::size_t slash = path.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + name;
}

std::wstring defaultBackupPath() {
  wchar_t directory[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(MAX_PATH + 1, directory);
  std::wstring base = (length == 0 || length > MAX_PATH) ? std::wstring(L".\\") : directory;
  return base + L"varnick-session-" + std::to_wstring(GetCurrentProcessId()) + L".hosts";
}

// Reads standard input until a line ends or the input does, then stops the
// session.
DWORD WINAPI waitForEnter(void*) {
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
  }
  SetEvent(gStop);
  return 0;
}

// Runs the command and waits for it or for an interruption. The command's
// exit code, or a session code when it could not run or was interrupted.
int runCommand(const std::vector<std::wstring>& command) {
  std::wstring line = buildCommandLine(command);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    report("could not start " + wideToUtf8(command.front().c_str()) + " (error " +
           std::to_string(GetLastError()) + ")");
    return kSessionNoCommand;
  }
  CloseHandle(process.hThread);
  UniqueHandle child(process.hProcess);
  HANDLE waits[] = {child.get(), gStop};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (woke != WAIT_OBJECT_0) {
    // Interrupted: the command got the same console event; give it a moment.
    if (WaitForSingleObject(child.get(), 3000) != WAIT_OBJECT_0) return kSessionInterrupted;
  }
  DWORD code = 0;
  GetExitCodeProcess(child.get(), &code);
  return gInterrupted ? kSessionInterrupted : static_cast<int>(code);
}

int holdUntilEnter() {
  std::fprintf(stderr, "varnick-session: the entries are in the hosts file; press Enter or "
                       "Ctrl+C to remove them\n");
  UniqueHandle reader(CreateThread(nullptr, 0, waitForEnter, nullptr, 0, nullptr));
  WaitForSingleObject(gStop, INFINITE);
  return gInterrupted ? kSessionInterrupted : 0;
}

// Adds every entry; reports each refused one. False when any was refused or
// the connection broke (then `failure` says which).
bool addEntries(Controller& controller, const SessionOptions& options, int& failure) {
  bool allAdded = true;
  for (const std::wstring& entry : options.entries) {
    std::string bytes = options.utf8 ? entryInUtf8(entry) : entryInOemCodePage(entry);
    std::optional<Reply> reply = controller.add(bytes);
    if (!reply) {
      report(controller.error());
      failure = kSessionConnectionLost;
      return false;
    }
    if (*reply == Reply::kFailure) {
      report("varnick.exe refused the entry '" + wideToUtf8(entry.c_str()) + "'");
      failure = kSessionEntryRefused;
      allAdded = false;
    }
  }
  return allAdded;
}

// Ends serving and waits for Varnick. A session code when that went wrong.
std::optional<int> endSession(Controller& controller) {
  if (!controller.shutdown()) {
    // Closing the connection makes Varnick restore the hosts file too.
    controller.disconnect();
  }
  std::optional<DWORD> code = controller.waitForHelper(kExitWaitSeconds);
  if (!code) {
    report("varnick.exe did not exit within " + std::to_string(kExitWaitSeconds) + " seconds");
    return kSessionVarnickFailed;
  }
  if (*code != 0) {
    report("varnick.exe exited with code " + std::to_string(*code) + "; see varnick.log");
    return kSessionVarnickFailed;
  }
  return std::nullopt;
}

int runSession(const SessionOptions& options) {
  Controller controller;
  if (!controller.listen(options.port)) {
    report(controller.error());
    return kSessionCannotListen;
  }
  std::wstring varnick = options.varnickPath.value_or(besideThisProgram(L"varnick.exe"));
  if (!controller.startHelper(varnick, options.backupPath.value_or(defaultBackupPath()))) {
    report(controller.error());
    return kSessionNoVarnick;
  }
  if (!controller.acceptHelper(options.connectTimeoutSeconds)) {
    report(controller.error());
    controller.waitForHelper(kExitWaitSeconds);
    return kSessionNoConnection;
  }
  if (!controller.note().empty()) report(controller.note());

  int failure = 0;
  int result = 0;
  if (addEntries(controller, options, failure)) {
    result = options.command.empty() ? holdUntilEnter() : runCommand(options.command);
  } else {
    result = failure;
  }
  // A Varnick that did not end cleanly may have left the hosts file changed:
  // that outweighs the command's own exit code.
  std::optional<int> ending = endSession(controller);
  if (ending && failure == 0) result = *ending;
  return result;
}

int run(int argc, wchar_t** argv) {
  ParsedOptions parsed = parseSessionOptions(std::vector<std::wstring>(argv + 1, argv + argc));
  if (!parsed.options) {
    report(parsed.error);
    std::fputs(kSessionUsageText, stderr);
    return kSessionUsage;
  }
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  gStop = stop.get();
  gDone = done.get();
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  int result = runSession(*parsed.options);
  SetEvent(gDone);
  return result;
}

}  // namespace
}  // namespace varnick::control

int wmain(int argc, wchar_t** argv) { return varnick::control::run(argc, argv); }
