#include "base/file_write_win32.h"

namespace varnick {

DWORD writeAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  if (!WriteFile(file, data, size, &written, nullptr)) return GetLastError();
  return written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

}  // namespace varnick
