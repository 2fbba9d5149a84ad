#include "link/server.h"

#include "log/logging.h"

namespace varnick {

// Not built yet: refuse rather than pretend a session was served.
int runServer(std::int32_t, const wchar_t*) {
  logMessage(kError, getLogger("Server"), "Server mode is not available in this build");
  return 1;
}

}  // namespace varnick
