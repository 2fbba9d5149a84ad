// The privileged half of varnick-session on Linux: what the session starts
// as root (directly, or through `sudo -n`) with the hidden option
// --privileged-half. It serves the session over one connected AF_UNIX
// stream socket, the session's end of a socketpair, with the controller's
// wire format (docs/protocol.md): first the report of the interrupted
// sessions it put right, then a one-byte reply to each request (add,
// remove, shutdown), and after the take-out at the end the report of that.
#pragma once

#include <string>

#include "hosts/hosts_places_posix.h"

namespace varnick {

// Serves the session on the socket `fd` (the session passes it as fd 0 and
// 1) until a shutdown request or the end of the connection, then takes the
// session's lines out of the hosts file and sends the final report while
// the peer is still there. Only a peer whose uid is root's or, run through
// sudo, SUDO_UID's is served. SIGINT, SIGHUP and SIGTERM are ignored: the
// session decides the end, and the take-out must finish.
//
// Exit codes (src/base/exit_codes.h, as `varnick session <port>`):
// kExitSuccess, the lines taken out (or none added); kExitFailure, the
// serving lock, the journal or the take-out failed (a kept journal is
// recovered by the next half); kExitNoConnection, `fd` is no connected
// AF_UNIX stream socket or its peer is refused; kExitOutOfMemory, a request
// body too large for memory (the take-out ran first).
[[nodiscard]] int runPrivilegedHalf(int fd, const HalfPlaces& places = {});

// The half of `varnick-session --clean`, as `--privileged-half --clean`:
// puts right the interrupted sessions as a serving half does first, lets
// the serving lock go, then removes the lock files that no running half
// holds (and the lock folder when it is empty) and, while no half serves,
// the log and its numbered copies; sends the one report of all that and
// exits without serving. The exit codes as runPrivilegedHalf's:
// kExitFailure when anything could not be put right or removed.
[[nodiscard]] int runCleaningHalf(int fd, const HalfPlaces& places = {});

}  // namespace varnick
