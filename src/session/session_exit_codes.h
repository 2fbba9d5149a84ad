// Exit codes of varnick-session, and what each means: the one table that
// --help prints and --json's error events fall back on. Without a failure it
// returns the command's own exit code, or 0 when it held the entries until
// Enter or for the time given.
#pragma once

#include "base/expected.h"

namespace varnick::control {

// 119 is left out: scripts written for an older Varnick take it to mean that
// another session was in the way, and no session ever waits for another.
constexpr int kSessionUsage = 120;
constexpr int kSessionNoVarnick = 121;
constexpr int kSessionNoConnection = 122;
constexpr int kSessionEntryRefused = 123;
constexpr int kSessionVarnickFailed = 124;
constexpr int kSessionConnectionLost = 125;
constexpr int kSessionCannotListen = 126;
constexpr int kSessionNoCommand = 127;
constexpr int kSessionInterrupted = 130;
// Linux only: ended by SIGHUP or SIGTERM, 128 and the signal's number as a
// shell says a signal's end; SIGINT's is kSessionInterrupted.
constexpr int kSessionHungUp = 129;
constexpr int kSessionTerminated = 143;

// How a session ended: its exit code, and whether that is a failure of
// the session's own, which --json's error event names, rather than the
// command's own code or 0 after a hold. A failure is made as every failure
// is, unexpected(code); a session that failed with code 0 cannot be made.
class SessionOutcome {
 public:
  SessionOutcome(int code) : code_(code) {}  // NOLINT: implicit, as Expected's value
  SessionOutcome(Unexpected<int> failure)    // NOLINT: implicit, as Expected's error
      : code_(failure.error), failed_(true) {}

  int exitCode() const { return code_; }
  bool failed() const { return failed_; }

 private:
  int code_ = 0;
  bool failed_ = false;
};

struct SessionExitCode {
  int code;
  // One line of Windows's --help: at most 72 characters; null for a code
  // that only Linux returns.
  const char* meaning;
  // --json's error event names the failure by this word unless the session
  // knew better (session_output.h); programs branch on it, so a word
  // once written keeps its meaning.
  const char* reason;
  // Linux's line, where its causes differ; null where Windows's line holds.
  const char* linuxMeaning = nullptr;
};

inline constexpr SessionExitCode kSessionExitCodes[] = {
    {kSessionUsage, "a command line, --hosts-file or entry was refused (also by the service)",
     "usage", "a command line, --hosts-file or entry was refused"},
    {kSessionNoVarnick, "varnick.exe missing or changeable by others, no consent, no hosts file",
     "varnick-unavailable", "sudo refused, this program is changeable by others, or no /etc/hosts"},
    {kSessionNoConnection, "Varnick did not connect in time, or exited before it connected",
     "no-connection", "the privileged half did not start in time, or ended before it did"},
    {kSessionEntryRefused, "Varnick refused an entry; the command did not run", "entry-refused",
     "the privileged half refused an entry; the command did not run"},
    {kSessionVarnickFailed, "Varnick's take-out, restore, recovery or clean failed (see its log)",
     "varnick-failed", "the privileged half's take-out or recovery failed (see its log)"},
    {kSessionConnectionLost, "Varnick did not answer in time, or the connection broke",
     "connection-lost", "the privileged half did not answer in time, or the connection broke"},
    {kSessionCannotListen, "the port could not be listened on", "cannot-listen",
     "the socket pair to the privileged half could not be made"},
    {kSessionNoCommand, "the command could not be found, started or its exit code read",
     "command-failed"},
    {kSessionHungUp, nullptr, "interrupted", "interrupted by SIGHUP (its terminal closed)"},
    {kSessionInterrupted, "interrupted by Ctrl+C, Ctrl+Break or closing the console", "interrupted",
     "interrupted by Ctrl+C (SIGINT)"},
    {kSessionTerminated, nullptr, "interrupted", "interrupted by SIGTERM"},
};

}  // namespace varnick::control
