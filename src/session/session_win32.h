// One varnick-session: Varnick started, the entries added, the command run,
// and its lines taken out again (or the hosts file restored).
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "launch/command_start_win32.h"
#include "session/session_entries_win32.h"
#include "session/session_options.h"
#include "session/session_output_win32.h"

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

// How a session ended: the command's exit code or 0 after a hold, or the
// exit code of a failure of the session's own.
using SessionOutcome = Expected<int, int>;

// The exit code that a session's end gives, a failure's or not.
inline int exitCodeOf(const SessionOutcome& outcome) {
  return outcome ? *outcome : outcome.error();
}

// Runs the session with the entries already converted and checked, and the
// command (if any) already found.
SessionOutcome runSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
                          const std::optional<CommandToRun>& command,
                          const Interruption& interruption, const EventStream& events);

}  // namespace varnick::control
