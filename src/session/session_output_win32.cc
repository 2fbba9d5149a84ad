#include "session/session_output_win32.h"

#include <windows.h>

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
  if (!enabled_) return;
  // One write a line, so that a reader never sees half of one; the C
  // runtime's text mode would turn LF into CR LF, and its buffer would split
  // a long line.
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), event.data(), static_cast<DWORD>(event.size()),
            &written, nullptr);
}

}  // namespace varnick::control
