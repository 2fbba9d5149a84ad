// One varnick-session: Varnick started, the entries added, the command run,
// and the hosts file restored.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "control/session_options.h"

namespace varnick::control {

// Set from the console event handler: `stop` is signalled and `interrupted`
// set by Ctrl+C, Ctrl+Break or closing the console.
struct Interruption {
  HANDLE stop = nullptr;
  const std::atomic<bool>* interrupted = nullptr;
  bool happened() const { return interrupted->load(); }
};

// Prints "varnick-session: <message>" on standard error.
void report(const std::string& message);

// One entry as it goes on the wire, and as messages name it.
struct SessionEntry {
  std::string bytes;
  std::string shown;
};

// Runs `varnick session recover`, which puts right the sessions that were
// interrupted, waits for it and says what it did. 0, or a session code.
int runRecovery(const SessionOptions& options);

// Runs the session with the entries already converted and checked. Returns
// the session's exit code.
int runSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
               const Interruption& interruption);

}  // namespace varnick::control
