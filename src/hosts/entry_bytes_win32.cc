#include "hosts/entry_bytes.h"

#include <cstring>
#include <string>

#include "base/oem_text_win32.h"

namespace varnick {

std::optional<EntryBytes> toEntryBytes(const wchar_t* entry) {
  std::optional<std::string> text = toOemCodePage(entry, OemFit::kBestFit);
  if (!text || text->size() >= static_cast<std::size_t>(kEntryConversionRoom)) return std::nullopt;
  EntryBytes bytes;
  bytes.data = std::make_unique<char[]>(kEntryBufferSize);
  std::memcpy(bytes.data.get(), text->data(), text->size());
  bytes.length = static_cast<int>(text->size());
  return bytes;
}

}  // namespace varnick
