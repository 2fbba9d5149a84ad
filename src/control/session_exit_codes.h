// Exit codes of varnick-session. Without a failure it returns the command's
// own exit code, or 0 when it held the entries until Enter.
#pragma once

namespace varnick::control {

// 119 is no longer returned: sessions no longer wait for each other.
constexpr int kSessionUsage = 120;          // the command line or an entry was refused
constexpr int kSessionNoVarnick = 121;      // varnick.exe missing, not started, or consent declined
constexpr int kSessionNoConnection = 122;   // varnick.exe did not connect in time, or exited first
constexpr int kSessionEntryRefused = 123;   // varnick.exe answered an add with failure
constexpr int kSessionVarnickFailed = 124;  // varnick.exe ended with a non-zero code, or not at all
constexpr int kSessionConnectionLost = 125;  // the shutdown went unanswered: the connection broke
constexpr int kSessionCannotListen = 126;    // the port could not be listened on
constexpr int kSessionNoCommand = 127;       // the command could not be started
constexpr int kSessionInterrupted = 130;     // Ctrl+C, Ctrl+Break or the console was closed

}  // namespace varnick::control
