// Where the Linux half finds the hosts file, puts its journals, takes its
// locks and keeps its log. The defaults are the system's; tests give temporary places, through
// this value only: a root process takes no such path from its environment,
// which the user who started it sets.
#pragma once

#include <string>

namespace varnick {

struct HostsPlaces {
  std::string hostsFile = "/etc/hosts";
  // Beside the hosts file: the journals, and the new file or the copy of a
  // take-out, which a rename must find on the hosts file's file system.
  std::string hostsFolder = "/etc";
  // A folder of root's alone (made 0700 when missing), on a file system
  // that a boot empties: held locks die with their holders anyway.
  std::string lockFolder = "/run/varnick";
};

// The places of the privileged half: the hosts file's, and its log.
struct HalfPlaces {
  HostsPlaces hosts;
  // Records go to this file only: standard output is the socket, and the
  // standard error the user's terminal, which the session speaks to.
  std::string logFile = "/var/log/varnick.log";
};

}  // namespace varnick
