#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "base/unique_resource.h"

namespace varnick::detail {

// The C runtime's close of the stream's handle may change the thread's last
// error even when it succeeds.
void closeStream(FILE* stream) {
  const DWORD saved = GetLastError();
  const int savedErrno = errno;
  std::fclose(stream);
  errno = savedErrno;
  SetLastError(saved);
}

}  // namespace varnick::detail
