// The modes of varnick.exe: each turns what the libraries below it return
// into records and the process exit code. `wmain` runs exactly one.
#pragma once

#include <cstdint>
#include <optional>

namespace varnick {

// `add <entry>`: appends CR LF and the entry's OEM bytes to the hosts file.
// 0 when both were written in full, 1 on any failure.
[[nodiscard]] int runAdd(const wchar_t* entry);

// `del <entry>`: rewrites the hosts file without the entry's occurrences.
// 0 on success (whether or not the entry was there), 1 on failure.
[[nodiscard]] int runDel(const wchar_t* entry);

// `server <port> <backup_path>`: backs the hosts file up to `backupPath`,
// connects to the controller on localhost:`port`, serves its requests and
// restores the backup when serving ends. 0, 1 (serving lock, backup or
// restore failed), 7 (no socket) or 8 (no connection, "localhost" not
// resolved included). A request too large for memory ends the process
// instead, once the backup has been put back.
[[nodiscard]] int runServer(std::int32_t port, const wchar_t* backupPath);

// `session <port>`: server mode for varnick-session, beside other sessions.
// Puts right any session that ended without taking its lines out first
// (running ones are left alone), then serves as runServer does, but with a
// journal beside the hosts file instead of a backup: each line is recorded
// before it is appended, and at the end exactly the session's lines are
// taken out again and the journal goes; a failed take-out keeps the journal
// for the next session to put right. Same results as runServer.
[[nodiscard]] int runSessionServer(std::int32_t port);

// `session recover [<port>]`: puts right the sessions that ended without
// taking their lines out, once no server is running, and with a port sends
// varnick-session what it did. 0, or 1 when one could not be put right or
// varnick-session could not be reached.
[[nodiscard]] int runRecovery(std::optional<std::int32_t> port);

// `session clean [<port>]`, for uninstalling: the recovery above, then the
// lock files beside the hosts file removed unless a running Varnick holds
// one. 0, or 1 when a session could not be put right, a lock file could not
// go or varnick-session could not be reached.
[[nodiscard]] int runClean(std::optional<std::int32_t> port);

// `service install | uninstall | run`: installs the Varnick service from
// %ProgramFiles%\Varnick and starts it, stops and removes it, or (started
// by the service control manager) serves its pipe. 0, 1 on a failure, 5
// for another action.
[[nodiscard]] int runService(const wchar_t* action);

}  // namespace varnick
