// One varnick-session: Varnick started, the entries added, the command run,
// and its lines taken out again (or the hosts file restored).
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "launch/command_start_win32.h"
#include "session/session_entries.h"
#include "session/session_exit_codes.h"
#include "session/session_options.h"
#include "session/session_output.h"

namespace varnick::control {

// What ends a session early or holds it. `stop` is signalled by Ctrl+C,
// Ctrl+Break or closing the console, and also by Enter (or the end of
// standard input) while a session without a command holds its entries;
// `interrupted` is set by the console events alone, and tells the two
// apart.
struct Interruption {
  HANDLE stop = nullptr;
  const std::atomic<bool>* interrupted = nullptr;
  bool happened() const { return interrupted->load(); }
};

// Runs the session with the entries already converted and checked, and the
// command (if any) already found.
SessionOutcome runSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
                          const std::optional<CommandToRun>& command,
                          const Interruption& interruption, const EventStream& events);

}  // namespace varnick::control
