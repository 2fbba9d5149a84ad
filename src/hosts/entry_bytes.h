// An entry of `add` or `del` in the bytes that the hosts file holds.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

namespace varnick {

constexpr int kEntryBufferSize = 256;
// The conversion is offered one byte less than the buffer holds, so an entry
// has at most 254 bytes of text followed by its NUL.
constexpr int kEntryConversionRoom = 255;

struct EntryBytes {
  std::unique_ptr<char[]> data;  // kEntryBufferSize bytes, NUL-terminated text
  int length = 0;                // bytes before the NUL

  std::string_view view() const { return {data.get(), static_cast<std::size_t>(length)}; }
};

// Converts `entry` to the system's OEM code page. Characters the code page
// lacks get the platform's replacement. Nothing when the text with its NUL
// needs more than 255 bytes.
std::optional<EntryBytes> toEntryBytes(const wchar_t* entry);

}  // namespace varnick
