#include "modes/caller_checks.h"

#include <optional>
#include <string>

#include "hosts/entry_syntax.h"
#include "hosts/visible_text.h"
#include "link/wire_format.h"

namespace varnick {

// An add of the longest entry allowed is read whole, so that it is refused
// for its length alone when it is one byte longer.
static_assert(1 + 4 + kMaxSessionEntryBytes < kMaxSessionRequestBody);

bool entryAllowed(Logger* log, std::string_view entry) {
  const std::optional<std::string> problem = entryProblem(entry);
  if (!problem) return true;
  logMessage(kError, log, "Refused: the entry '%s' %s", visibleText(entry).c_str(),
             problem->c_str());
  return false;
}

void logRequestTooLong(Logger* log, std::uint32_t bodyLength) {
  logMessage(kError, log,
             "Request of %u bytes is longer than the %u bytes a session's request may have: "
             "the connection ends unread",
             static_cast<unsigned>(bodyLength), static_cast<unsigned>(kMaxSessionRequestBody));
}

}  // namespace varnick
