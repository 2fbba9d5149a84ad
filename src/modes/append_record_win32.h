// The records of one append, the same for `add` and for a controller's add.
#pragma once

#include <string>

#include "hosts/hosts_file.h"
#include "log/logging.h"

namespace varnick {

// Logs what became of appending `entry` (as text for the log): "Written to
// hosts file '...'" or the step that failed. Whether it was written.
bool logAppend(Logger* log, const AppendResult& appended, const std::string& entry);

}  // namespace varnick
