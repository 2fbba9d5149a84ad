// The start-up steps that run before the hosts file is located.
#pragma once

#include <optional>

#include "hosts/hosts_location.h"

namespace varnick {

// Prints the usage text.
void printUsage();

// Starts Winsock 2.2 and prints its report. Returns the exit code when the
// program must stop here, nothing when it may go on.
[[nodiscard]] std::optional<int> startWinsock();

// Prints why the hosts file could not be located.
void printLocateFailure(const LocateFailure& failure);

}  // namespace varnick
