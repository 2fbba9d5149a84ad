// Exit codes of varnick.exe. A mode's result is the exit code unchanged.
#pragma once

namespace varnick {

constexpr int kExitSuccess = 0;
// Start-up could not limit DLL loading to System32 or find the hosts file,
// the mode is unknown, or the add, delete, backup or restore failed.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 5;         // too few arguments, or server without a backup path
constexpr int kExitBadPort = 6;       // server port outside 1 to 65535
constexpr int kExitNoSocket = 7;      // server: no socket could be created
constexpr int kExitNoConnection = 8;  // server: the controller could not be reached
// server: a request too large for memory; the C runtime's code for an end by
// SIGTERM, which callers read as this end.
constexpr int kExitOutOfMemory = 3;

}  // namespace varnick
