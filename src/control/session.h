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

// Runs the session with the entries already converted and checked. Returns
// the session's exit code.
int runSession(const SessionOptions& options, const std::vector<std::string>& entryBytes,
               const Interruption& interruption);

}  // namespace varnick::control
