// The owner of a POSIX file descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>

#include "base/unique_resource.h"

namespace varnick {
namespace detail {
inline int invalidFd() { return -1; }
// Keeps errno, so that a close on a failure path leaves the code of the
// call that failed.
inline void closeFd(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}
}  // namespace detail

using UniqueFd = UniqueResource<int, detail::invalidFd, detail::closeFd>;

}  // namespace varnick
