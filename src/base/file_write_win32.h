// Writes to a file handle that count a short write as a failure.
#pragma once

#include <windows.h>

namespace varnick {

// Writes `size` bytes with one WriteFile call. Returns ERROR_SUCCESS when all
// of them were written; the platform's error code when the call failed; and
// ERROR_WRITE_FAULT when it reported fewer bytes than asked, since a short
// write sets no error code of its own.
DWORD writeAll(HANDLE file, const void* data, DWORD size);

}  // namespace varnick
