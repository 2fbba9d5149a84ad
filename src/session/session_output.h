// What varnick-session says: messages for people on standard error, and
// --json's events for programs on standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "session/session_exit_codes.h"
#include "session/session_help.h"

namespace varnick::control {

// Prints "varnick-session: <message>" on standard error, and keeps it: the
// messages of a failure make its --json error event.
void report(const std::string& message);
// As report(), naming the failure by a word that a program can branch on
// ("varnick-untrusted-folder"); the first word given stands, since the
// first failure is the cause of the rest.
void report(std::string_view reason, const std::string& message);
// Prints "varnick-session:   <what to do>" under a reported failure, one way out of it a
// line; the error event lists them as they were printed.
void remedy(const std::string& line);
// Prints as report() does what is no failure: a wait, a warning, a note.
void notice(const std::string& message);

struct Reported {
  std::string message;  // every report() so far, joined by "; "
  std::string reason;   // empty when no report() named one
  std::vector<std::string> remedies;
};
const Reported& reportedSoFar();

// Writes `bytes` on standard output as they are, in one write where the
// system allows: the platform's half of EventStream (session_output_win32.cc,
// session_output_posix.cc).
void writeStandardOutput(const std::string& bytes);

// Writes --json's events (session_events.h) on standard output, each line
// whole in one write; without --json it writes nothing.
class EventStream {
 public:
  explicit EventStream(bool enabled) : enabled_(enabled) {}
  void write(const std::string& event) const;

 private:
  bool enabled_ = false;
};

// The session's last events: the error event when it failed (what report()
// kept, or the exit code's own words), then `ended`. Its exit code.
int writeEndEvents(const SessionOutcome& outcome, const EventStream& events, Platform platform);

}  // namespace varnick::control
