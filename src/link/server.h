// `server <port> <backup_path>`: serves a local controller's requests.
#pragma once

#include <cstdint>

namespace varnick {

// Backs the hosts file up to `backupPath`, connects to the controller on
// localhost:`port`, serves its requests and restores the backup when serving
// ends. Returns 0, 1 (backup or restore failed), 7 (no socket) or 8 (no
// connection, "localhost" not resolved included). A request too large for
// memory ends the process instead, once the backup has been put back.
[[nodiscard]] int runServer(std::int32_t port, const wchar_t* backupPath);

// `session <port>`: server mode for varnick-session. Puts right any session
// that ended without its restore first, then serves as runServer does with
// a backup of its own beside the hosts file and a journal of the lines it
// appends; both are removed after a good restore and kept after a failed
// one, for the next session to put right. Same results as runServer.
[[nodiscard]] int runSessionServer(std::int32_t port);

// `session recover`: puts right the sessions that ended without their
// restore, once no server is running. 0, or 1 when one could not be.
[[nodiscard]] int runRecovery();

}  // namespace varnick
