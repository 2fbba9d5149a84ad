#include "session/session_output.h"

#include "session/session_events.h"

#include <cstdio>
#include <string>

namespace varnick::control {

namespace {

Reported gReported;

void printMessage(const std::string& message) {
  std::fprintf(stderr, "varnick-session: %s\n", message.c_str());
  std::fflush(stderr);
}

}  // namespace

void report(const std::string& message) {
  printMessage(message);
  gReported.message += (gReported.message.empty() ? "" : "; ") + message;
}

void report(std::string_view reason, const std::string& message) {
  if (gReported.reason.empty()) gReported.reason = reason;
  report(message);
}

void remedy(const std::string& line) {
  printMessage("  " + line);
  gReported.remedies.push_back(line);
}

void notice(const std::string& message) { printMessage(message); }

const Reported& reportedSoFar() { return gReported; }

void EventStream::write(const std::string& event) const {
  if (enabled_) writeStandardOutput(event);
}

int writeEndEvents(const SessionOutcome& outcome, const EventStream& events, Platform platform) {
  const int exitCode = outcome.exitCode();
  if (outcome.failed()) {
    const Reported& reported = reportedSoFar();
    events.write(errorEvent(
        exitCode,
        reported.message.empty() ? sessionExitMeaning(exitCode, platform) : reported.message,
        reported.reason.empty() ? sessionExitReason(exitCode) : reported.reason,
        reported.remedies));
  }
  events.write(endedEvent(exitCode));
  return exitCode;
}

}  // namespace varnick::control
