// varnick-session: hosts entries that last exactly as long as a command.
//
//   varnick-session [options] (--add ENTRY | --hosts-file PATH) ...
//                   [--for DURATION | -- COMMAND ...]
//   varnick-session --recover | --status | --help | --version
//
// Starts `varnick session` (elevated; `varnick server` with a --backup),
// adds the entries, runs the command and waits for it, then shuts Varnick
// down, which restores the hosts file. --recover has Varnick take out what
// an interrupted session left, and does nothing else; --status only looks.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/console_events_win32.h"
#include "base/unique_resource_win32.h"
#include "launch/command_start_win32.h"
#include "session/recover_and_clean.h"
#include "session/session_entries.h"
#include "session/session_events.h"
#include "session/session_exit_codes.h"
#include "session/session_command_line.h"
#include "session/session_help.h"
#include "session/session_options.h"
#include "session/session_output.h"
#include "session/session_win32.h"
#include "status/session_status_win32.h"

namespace varnick::control {
namespace {

// Set by Ctrl+C, Ctrl+Break or closing the console; the main thread then
// ends the session in order. `gDone` tells a closing console's handler that
// the restore has happened and the process may go.
HANDLE gStop = nullptr;
HANDLE gDone = nullptr;
std::atomic<bool> gInterrupted{false};

BOOL WINAPI onConsoleEvent(DWORD event) {
  gInterrupted = true;
  SetEvent(gStop);
  // The system ends the process when this returns: wait for the shutdown.
  if (eventEndsProcess(event)) WaitForSingleObject(gDone, kCloseEventWaitMs);
  return TRUE;
}

// A session or a recovery, from the checked command line to its end.
SessionOutcome runChecked(const SessionOptions& options, const EventStream& events) {
  std::optional<std::vector<SessionEntry>> entries;
  std::optional<CommandToRun> command;
  if (!options.recover && !options.clean) {
    entries = entriesToSend(options);
    if (!entries) return unexpected(kSessionUsage);
    if (!options.command.empty()) {
      PreparedCommand prepared = prepareCommand(options.command);
      if (!prepared) {
        const CommandRefusal& refusal = prepared.error();
        report(refusal.message);
        return unexpected(refusal.why == CommandRefusal::Why::kNotFound ? kSessionNoCommand
                                                                        : kSessionUsage);
      }
      command = std::move(prepared).value();
    }
  }
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  gStop = stop.get();
  gDone = done.get();
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  // Sessions run side by side: each Varnick takes out only its own lines.
  SessionOutcome outcome = unexpected(kSessionUsage);
  if (options.recover || options.clean) {
    int code = recoverOrClean(options, events);
    outcome = code != 0 ? SessionOutcome(unexpected(code)) : SessionOutcome(0);
  } else {
    outcome = runSession(options, *entries, command, Interruption{gStop, &gInterrupted}, events);
  }
  SetEvent(gDone);
  return outcome;
}

}  // namespace
}  // namespace varnick::control

int wmain(int argc, wchar_t** argv) {
  using namespace varnick::control;
  return runCommandLine(std::vector<std::wstring>(argv + 1, argv + argc),
                        {Platform::kWindows, reportStatus, runChecked});
}
