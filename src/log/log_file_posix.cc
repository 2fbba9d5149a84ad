#include "log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace varnick {
namespace {

// Whether the open file `fd` is a regular file with no other name.
bool isPlainFile(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
}

}  // namespace

OpenedLogFile openLogFile(const std::string& name) {
  // O_NOFOLLOW refuses a symbolic link at the name, a dangling one included,
  // so no file is ever created at the place a link points to.
  const int fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const bool link = errno == ELOOP;
    return unexpected(link ? LogFileFailure::kNotPlainFile : LogFileFailure::kFailed);
  }
  if (!isPlainFile(fd)) {
    ::close(fd);
    return unexpected(LogFileFailure::kNotPlainFile);
  }
  std::FILE* stream = ::fdopen(fd, "a+");
  if (stream == nullptr) {
    ::close(fd);
    return unexpected(LogFileFailure::kFailed);
  }
  return UniqueStream(stream);
}

bool moveLogFile(const std::string& from, const std::string& to) {
  // O_NONBLOCK: a FIFO at the name must not stall the log call.
  const int fd = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool plain = isPlainFile(fd);
  ::close(fd);
  // rename(2) acts on the names themselves: should a link take the source's
  // place after the check, the link is moved and its target stays where it
  // is; a link at the new name is replaced, never followed.
  return plain && std::rename(from.c_str(), to.c_str()) == 0;
}

bool logFileIsHeld(const std::string& /*name*/) { return false; }

}  // namespace varnick
