// The session engine's store on Windows: the hosts file and the files
// beside it, in a folder that only administrators may change. The new hosts
// file is NewHostsFile's, renamed over it through its handle; the journals
// are held by opening them with no sharing but reading, and carry access
// rules of their own; the write lock is HostsLock's. One store serves every
// thread of a process: it keeps no state of its own.
#pragma once

#include <memory>

#include "hosts/hosts_store.h"

namespace varnick {

// The patterns under which a session's files are found beside the hosts
// file (journal_file.h names them), for those who list them by hand.
constexpr wchar_t kSessionJournals[] = L"hosts.varnick-session-*.journal";
constexpr wchar_t kSessionBackups[] = L"hosts.varnick-session-*.backup";  // older Varnicks'

// The store of the system's hosts file, which hostsFilePath() names.
[[nodiscard]] std::unique_ptr<HostsStore> makeWin32HostsStore();

}  // namespace varnick
