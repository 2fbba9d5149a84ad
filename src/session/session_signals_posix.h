// The signals that end a Linux session, and the children it waits for.
// SIGINT, SIGTERM and SIGHUP end a session in order rather than the
// process: their handler only notes the first of them and wakes whoever
// polls wakeFd(); so does SIGCHLD, for the waits on the command and on the
// privileged half. SIGPIPE is ignored: a reader of standard output that
// has gone is no reason to leave entries behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace varnick::control {

// Installs the handlers once; false (errno set) when the pipe that wakes
// the waits cannot be made.
[[nodiscard]] bool catchEndingSignals();

// Readable after any of those signals; drainWakes() empties it.
int wakeFd();
void drainWakes();

// The first ending signal that came, or 0.
int endingSignal();

// The session's exit code for an ending signal: 130 for SIGINT, as on
// Windows; 128 and its number for SIGHUP and SIGTERM, as a shell says it.
int exitCodeForSignal(int signal);

// A child's exit code as a shell gives it: its own, or 128 and the number
// of the signal that ended it.
int shellExitCode(int status);

// Waits up to `timeoutMs` (negative: without end) for `fd` to be readable
// or a signal to wake the wait; polls `fd` alone when it is -1. Whether
// `fd` is readable (its end counts).
bool waitReadable(int fd, int timeoutMs);

// Reaps `child` if it has ended: its wait status, or nothing while it runs.
std::optional<int> reapIfEnded(pid_t child);

// Milliseconds on a clock that only goes forward.
std::uint64_t nowMs();

}  // namespace varnick::control
