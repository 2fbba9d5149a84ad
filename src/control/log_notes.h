// What varnick-session reads of the records that its Varnick wrote to
// varnick.log, in the session's words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnick::control {

// What Varnick's "Recovery" records in `logText` (whole records of
// varnick.log, "HH:MM:SS LEVEL Recovery - message") say, one note each, in
// their order, in the session's words: "removed '10.0.0.1 a.test', left by
// an interrupted session that started 2026-12-07 13:25:03". A message of
// another form is passed on as it stands. A last record without its line
// end is left out: it may still be being written.
std::vector<std::string> recoveryNotes(std::string_view logText);

// The lines that the "Removed" records in `logText` name, each with the time
// its session started, in their order; the line as Varnick wrote it.
struct RecoveredLine {
  std::string line;
  std::string sessionStarted;
  bool operator==(const RecoveredLine& other) const {
    return line == other.line && sessionStarted == other.sessionStarted;
  }
};
std::vector<RecoveredLine> recoveredLines(std::string_view logText);

// What the records of the session's Varnick serving `port` in `logText` say
// of its end, one note each: "took out '10.0.0.1 a.test'", or the line that
// someone changed or removed meanwhile, which it left.
std::vector<std::string> sessionEndNotes(std::string_view logText, unsigned port);

}  // namespace varnick::control
