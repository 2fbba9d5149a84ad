#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd_posix.h"
#include "base/wide_text.h"
#include "session/session_entries.h"

namespace varnick::control {

// On Linux the hosts file is UTF-8, as the arguments are: --utf8 changes
// nothing, and every entry that reached here as text can be written.
Expected<std::string, std::string> entryWireBytes(const std::wstring& entry,
                                                  const SessionOptions& /*options*/,
                                                  const std::string& /*shown*/) {
  return wideSpanToUtf8(entry);
}

Expected<std::string, std::string> readEntryFile(const std::wstring& path) {
  const std::string name = wideToUtf8(path.c_str());
  auto failed = [&name](int error) -> Expected<std::string, std::string> {
    return unexpected("could not read " + name + ": " + std::strerror(error));
  };
  UniqueFd file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    const int error = errno;
    return failed(error);
  }
  std::string content;
  char piece[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), piece, sizeof piece);
    if (got < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return failed(error);
    }
    if (got == 0) return content;
    content.append(piece, static_cast<std::size_t>(got));
  }
}

}  // namespace varnick::control
