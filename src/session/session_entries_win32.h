// A session's entries as they go on the wire: each --add, and each line of
// each --hosts-file, in the bytes the options ask for and checked to make
// one line of the hosts file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session/session_options.h"

namespace varnick::control {

// One entry as it goes on the wire, and as messages name it.
struct SessionEntry {
  std::string bytes;
  std::string shown;
};

// The entries in the bytes they are sent as, in the order given, each
// checked to make one line of the hosts file; nothing (and a report) when
// one cannot, or when there are none at all.
std::optional<std::vector<SessionEntry>> entriesToSend(const SessionOptions& options);

}  // namespace varnick::control
