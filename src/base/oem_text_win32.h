// Text in the system's OEM code page, the one that the hosts file's entries
// are written in.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace varnick {

// What becomes of a character that the OEM code page cannot hold as it is.
enum class OemFit {
  // It becomes a look-alike (a best fit) or the code page's default
  // character: `varnick add` has always written entries so.
  kBestFit,
  // The text is refused: a look-alike would be another name in the hosts
  // file. Every character must also read back as itself.
  kExact,
};

// `text` in the OEM code page; nothing when the system cannot convert it,
// or, with kExact, when a character would not stay as it is.
std::optional<std::string> toOemCodePage(std::wstring_view text, OemFit fit);

}  // namespace varnick
