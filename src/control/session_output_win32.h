// What varnick-session says: messages for people on standard error, and
// --json's events for programs on standard output.
#pragma once

#include <string>

namespace varnick::control {

// Prints "varnick-session: <message>" on standard error, and keeps it: the
// messages of a failure make its --json error event.
void report(const std::string& message);
// Prints as report() does what is no failure: a wait, a warning, a note.
void notice(const std::string& message);
// What report() printed so far, joined by "; ".
std::string reportedSoFar();

// Writes --json's events (session_events.h) on standard output, each line
// whole in one write; without --json it writes nothing.
class EventStream {
 public:
  explicit EventStream(bool enabled) : enabled_(enabled) {}
  void write(const std::string& event) const;

 private:
  bool enabled_ = false;
};

}  // namespace varnick::control
