#include "session/linux_refusals.h"

namespace varnick::control {

std::optional<std::string> linuxRefusal(const SessionOptions& options) {
  if (options.varnickPath) {
    return "--varnick is for Windows, where the session starts varnick.exe; on Linux this "
           "program is its own privileged half";
  }
  if (options.port != 0) {
    return "--port is for Windows, where varnick.exe connects to a port; on Linux the session "
           "and its privileged half speak over a socket pair, and no port is listened on";
  }
  if (options.backupPath) {
    return "--backup is for Windows, where varnick server puts a whole backup back; on Linux "
           "the privileged half keeps a journal and takes out exactly the session's own lines";
  }
  return std::nullopt;
}

}  // namespace varnick::control
