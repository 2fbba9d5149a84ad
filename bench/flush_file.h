// Flushing a file that another call (CopyFileW) wrote: what the baselines
// do where Varnick flushes the file that replaces the hosts file.
#pragma once

#include <windows.h>

namespace bench {

// Opens `path` and flushes it to the disk. False on failure, with the error
// code left for GetLastError.
inline bool flushFile(const wchar_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return ok != FALSE;
}

}  // namespace bench
