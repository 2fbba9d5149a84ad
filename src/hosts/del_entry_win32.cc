#include "hosts/del_entry.h"

#include "log/logging.h"

namespace varnick {

// Not built yet: refuse rather than pretend the entry was removed.
int delEntry(const wchar_t*) {
  logMessage(kError, getLogger("DelEntry"), "Delete is not available in this build");
  return 1;
}

}  // namespace varnick
