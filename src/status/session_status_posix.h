// varnick-session --status on Linux.
#pragma once

#include <string>

#include "hosts/hosts_places_posix.h"

namespace varnick::control {

// Prints on standard output what runs and what interrupted sessions left
// beside /etc/hosts, one fact a line, or with `json` as one JSON object on
// one line. Root looks into the journals and at the locks, each for an
// instant and without waiting; another user sees the journals' names and
// sizes. Changes nothing. Returns 0.
// `places` are the half's; `halfLog` is where it keeps its log.
int reportLinuxStatus(bool json, const HostsPlaces& places, const std::string& halfLog);

}  // namespace varnick::control
