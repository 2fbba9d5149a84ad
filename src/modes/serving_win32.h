// What server mode and the session's mode share: the serving lock, serving
// the controller with every record, and the restore.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "base/expected.h"
#include "base/unique_resource_win32.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/hosts_store.h"
#include "hosts/journal_file.h"
#include "log/logging.h"

namespace varnick {

// The local time as a journal records a session's start: "2026-12-07 13:25:03".
std::string localTimeText();

// Takes the serving lock, waiting for a server that is still serving or
// restoring, and logs why when it cannot.
[[nodiscard]] bool takeServingLock(Logger* log, HostsLock& serving);

// The record of a failed backup or restore copy. The hosts directory stands
// for the hosts file in it.
void logCopyFailure(Logger* log, const wchar_t* from, const wchar_t* to, std::uint32_t error);

// A socket connected to the controller on localhost:`port`; the failure is
// the exit code that ends the run, logged.
[[nodiscard]] Expected<UniqueSocket, int> connectOrLog(Logger* log, std::int32_t port);

// What puts the hosts file right when serving ends: a server's restore of
// its backup, or a session's take-out of its own lines.
class ServingEnd {
 public:
  virtual ~ServingEnd() = default;
  // Puts the hosts file right and makes every record: whether it is right.
  // Also runs before the process ends when a request is too large for memory.
  virtual bool finish() = 0;
};

// A server's end: the backup put back whole.
class BackupEnd final : public ServingEnd {
 public:
  BackupEnd(Logger* log, const wchar_t* backupPath) : log_(log), backupPath_(backupPath) {}
  bool finish() override;

 private:
  Logger* log_;
  const wchar_t* backupPath_;
};

// A session's adds: each recorded in its journal before its line goes in.
struct JournaledAdds {
  HostsStore& store;
  JournalFile& journal;
};

// Serves the connected controller, appending its entries (journaled when
// `journaled` is given), then runs `end`. Whether the hosts file was put
// right.
[[nodiscard]] bool serveUntilEnd(Logger* log, SOCKET sock, const JournaledAdds* journaled,
                                 ServingEnd& end);

}  // namespace varnick
