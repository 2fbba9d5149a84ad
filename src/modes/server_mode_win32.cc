#include "base/exit_codes.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_location.h"
#include "modes/modes.h"
#include "modes/serving_win32.h"

namespace varnick {

int runServer(std::int32_t port, const wchar_t* backupPath) {
  Logger* log = getLogger("Server");
  // Held until the restore has ended, on every way out; a process that ends
  // at once lets it go with its handles. Two servers that overlap would each
  // put back a backup that holds the other's entries, or lose them.
  HostsLock serving(HostsLock::Kind::kServing);
  if (!takeServingLock(log, serving)) return kExitFailure;
  if (SystemResult backedUp = backUpHostsFile(backupPath); !backedUp) {
    logCopyFailure(log, hostsDirectory(), backupPath, backedUp.error());
    return kExitFailure;
  }
  Expected<UniqueSocket, int> sock = connectOrLog(log, port);
  if (!sock) return sock.error();
  // A failed restore leaves the controller's entries in the hosts file, so
  // the session did not end cleanly.
  BackupEnd end(log, backupPath);
  return serveUntilEnd(log, sock->get(), nullptr, end) ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
