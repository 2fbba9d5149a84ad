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

}  // namespace varnick
