// Exit codes of varnick-session, and what each means: the one table that
// --help prints and --json's error events fall back on. Without a failure it
// returns the command's own exit code, or 0 when it held the entries until
// Enter or for the time given.
#pragma once

namespace varnick::control {

// 119 is no longer returned: sessions no longer wait for each other.
constexpr int kSessionUsage = 120;
constexpr int kSessionNoVarnick = 121;
constexpr int kSessionNoConnection = 122;
constexpr int kSessionEntryRefused = 123;
constexpr int kSessionVarnickFailed = 124;
constexpr int kSessionConnectionLost = 125;
constexpr int kSessionCannotListen = 126;
constexpr int kSessionNoCommand = 127;
constexpr int kSessionInterrupted = 130;

struct SessionExitCode {
  int code;
  const char* meaning;  // one line of --help: at most 72 characters
  // --json's error event names the failure by this word unless the session
  // knew better (session_output_win32.h); programs branch on it, so a word
  // once written keeps its meaning.
  const char* reason;
};

inline constexpr SessionExitCode kSessionExitCodes[] = {
    {kSessionUsage, "a command line, --hosts-file or entry was refused (also by the service)",
     "usage"},
    {kSessionNoVarnick, "varnick.exe missing or changeable by others, no consent, no hosts file",
     "varnick-unavailable"},
    {kSessionNoConnection, "Varnick did not connect in time, or exited before it connected",
     "no-connection"},
    {kSessionEntryRefused, "Varnick refused an entry; the command did not run", "entry-refused"},
    {kSessionVarnickFailed, "Varnick's take-out, restore, recovery or clean failed (see its log)",
     "varnick-failed"},
    {kSessionConnectionLost, "Varnick did not answer in time, or the connection broke",
     "connection-lost"},
    {kSessionCannotListen, "the port could not be listened on", "cannot-listen"},
    {kSessionNoCommand, "the command could not be found, started or its exit code read",
     "command-failed"},
    {kSessionInterrupted, "interrupted by Ctrl+C, Ctrl+Break or closing the console",
     "interrupted"},
};

}  // namespace varnick::control
