// Checks that varnick-session makes on the bytes it sends, and how it shows
// an entry in a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hosts/entry_bytes.h"

namespace varnick::control {

// A session takes as much entry as `varnick add`: its conversion room less
// the NUL.
constexpr std::size_t kMaxSessionEntryBytes = kEntryConversionRoom - 1;

// Why an entry, in the bytes it is sent as, cannot go into the hosts file as
// one line of what it says: it holds a CR, LF or NUL, another control
// character than tab (VT, FF, Ctrl+Z, DEL ...), or is longer than 254 bytes.
// Nothing when it can. In the OEM code pages and in UTF-8 alike, a byte
// below 0x20 or 0x7F is that control character and never part of another.
std::optional<std::string> entryProblem(std::string_view bytes);

// `text` with CR, LF and NUL written as \r, \n and \0, and the other control
// characters but tab as \xNN, so that a message that names an entry stays on
// one line and shows what it holds.
std::string visibleText(std::string_view text);

}  // namespace varnick::control
