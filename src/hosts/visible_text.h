// How varnick-session shows an entry, or any text, in a message.
#pragma once

#include <string>
#include <string_view>

namespace varnick {

// `text` with CR, LF and NUL written as \r, \n and \0, and the other control
// characters but tab as \xNN, so that a message that names an entry stays on
// one line and shows what it holds.
std::string visibleText(std::string_view text);

}  // namespace varnick
