// The start-up steps that run before a mode: Winsock and the hosts file.
#pragma once

#include <optional>

namespace varnick {

// Process exit codes decided by start-up itself.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 5;
constexpr int kExitBadPort = 6;

// Prints the usage text.
void printUsage();

// Starts Winsock 2.2 and prints its report. Returns the exit code when the
// program must stop here, nothing when it may go on.
[[nodiscard]] std::optional<int> startWinsock();

// Reads DataBasePath from the registry, expands it into the hosts directory
// and builds the hosts file path. Prints what went wrong and returns the exit
// code when the program must stop here, nothing when it may go on.
[[nodiscard]] std::optional<int> locateHostsFile();

}  // namespace varnick
