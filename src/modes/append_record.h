// The records of one append, the same for `add`, a controller's add, a
// session's and the Linux half's.
#pragma once

#include <string>
#include <string_view>

#include "hosts/hosts_file.h"
#include "hosts/session_append.h"
#include "log/logging.h"

namespace varnick {

// Logs what became of appending an entry, shown in the records as `shown`:
// "Written to hosts file '...'" or the step that failed. Whether it was
// written.
bool logAppend(Logger* log, const AppendResult& appended, std::string_view shown);

// The same for a session's journaled append, with the entry shown through
// visibleText (a caller's bytes never drive the reader's terminal), and a
// record for a journal or a flush that failed around it.
bool logJournaledAppend(Logger* log, const JournaledAppend& appended, std::string_view entry);

}  // namespace varnick
