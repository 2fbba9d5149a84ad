// Reading and writing whole files through handles: a short write counts as
// a failure, and every loop stops at the first failed call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/expected.h"

namespace varnick {

// A file size that the system gives as two 32-bit halves.
inline std::uint64_t sizeFromHalves(DWORD high, DWORD low) {
  return (std::uint64_t{high} << 32) | low;
}

// Writes `size` bytes with one WriteFile call. Done when all of them were
// written; the platform's error code when the call failed; and
// ERROR_WRITE_FAULT when it reported fewer bytes than asked, since a short
// write sets no error code of its own.
SystemResult writeAll(HANDLE file, const void* data, DWORD size);

// What is left of `file`, read to its end.
[[nodiscard]] Expected<std::string, std::uint32_t> readAll(HANDLE file);

// The whole of the file at `path`, opened so that others may go on reading,
// writing and removing it.
[[nodiscard]] Expected<std::string, std::uint32_t> readShared(const wchar_t* path);

// Copies what is left of `from` to `to`, a block at a time; the failure is
// the code of the read or the write that failed.
SystemResult copyAll(HANDLE from, HANDLE to);

// The full path of this program's own file.
std::wstring thisProgramPath();

// A plain file that a search found.
struct FoundFile {
  std::wstring path;
  std::uint64_t size = 0;
  FILETIME written{};
};

// The plain files in `folder` whose names match `pattern` (* and ? as the
// system reads them); folders are passed over. None found is no failure;
// the failure is the error code of the listing, and lists nothing.
[[nodiscard]] Expected<std::vector<FoundFile>, std::uint32_t> listFiles(const std::wstring& folder,
                                                                        const wchar_t* pattern);

// Whether an open or a rename failed because another process holds the file
// in a way that conflicts, so that trying again shortly may succeed.
inline bool isSharingConflict(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Whether a rename over a file failed because another process has it open,
// even one that only reads it (refused as access denied; so is a rename over
// an antivirus's or indexer's fresh open, and over a read-only file). Each
// leaves both files as they were.
inline bool isHeldAtSwap(DWORD error) {
  return isSharingConflict(error) || error == ERROR_ACCESS_DENIED;
}

}  // namespace varnick
