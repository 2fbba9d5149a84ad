#include <cerrno>
#include <cstdio>

#include "base/unique_resource.h"

namespace varnick::detail {

void closeStream(FILE* stream) {
  const int saved = errno;
  std::fclose(stream);
  errno = saved;
}

}  // namespace varnick::detail
