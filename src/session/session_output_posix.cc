#include <unistd.h>

#include <cerrno>
#include <string>

#include "session/session_output.h"

namespace varnick::control {

void writeStandardOutput(const std::string& bytes) {
  // One write a line where the pipe takes it whole (up to PIPE_BUF bytes it
  // always does), so that a reader never sees half of one; the rest of a
  // longer line follows at once. A reader gone is no failure of the session.
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = ::write(STDOUT_FILENO, bytes.data() + written, bytes.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return;
    written += static_cast<std::size_t>(result);
  }
}

}  // namespace varnick::control
