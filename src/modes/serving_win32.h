// What server mode and the session's mode share: the serving lock, serving
// the controller with every record, and the restore.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "hosts/hosts_lock_win32.h"
#include "hosts/session_files_win32.h"
#include "log/logging.h"

namespace varnick {

// Takes the serving lock, waiting for a server that is still serving or
// restoring, and logs why when it cannot.
[[nodiscard]] bool takeServingLock(Logger* log, HostsLock& serving);

// The record of a failed backup or restore copy. The hosts directory stands
// for the hosts file in it.
void logCopyFailure(Logger* log, const wchar_t* from, const wchar_t* to, std::uint32_t error);

// Connects to the controller on localhost:`port`; 0, or the exit code that
// ends the run, logged.
[[nodiscard]] int connectOrLog(Logger* log, std::int32_t port, UniqueSocket& sock);

// Serves the connected controller, appending its entries (and recording
// each in `journal`, when there is one), then puts the backup back; a request
// too large for memory puts it back before the process ends. Whether the
// hosts file was restored; after a good restore `sessionFiles`, when given,
// are removed.
[[nodiscard]] bool serveAndRestore(Logger* log, SOCKET sock, const wchar_t* backupPath,
                                   JournalFile* journal, const SessionFiles* sessionFiles);

// Removes a session's backup and journal; logs each that cannot go.
void removeSessionFiles(Logger* log, const SessionFiles& files);

}  // namespace varnick
