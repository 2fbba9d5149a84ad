#include "hosts/entry_bytes.h"

#include <windows.h>

namespace varnick {

std::optional<EntryBytes> toEntryBytes(const wchar_t* entry) {
  EntryBytes bytes;
  bytes.data = std::make_unique<char[]>(kEntryBufferSize);
  int written = WideCharToMultiByte(CP_OEMCP, 0, entry, -1, bytes.data.get(), kEntryConversionRoom,
                                    nullptr, nullptr);
  if (written == 0) return std::nullopt;
  bytes.length = written - 1;  // the count includes the NUL
  return bytes;
}

}  // namespace varnick
