// The start-up steps that run before the hosts file is located.
#pragma once

#include "hosts/hosts_location.h"

namespace varnick {

// Prints the usage text.
void printUsage();

// Starts Winsock 2.2 and prints its report: whether it started, so that the
// program may go on.
[[nodiscard]] bool startWinsock();

// Prints why the hosts file could not be located.
void printLocateFailure(const LocateFailure& failure);

}  // namespace varnick
