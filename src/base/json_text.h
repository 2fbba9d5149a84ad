// Text as a JSON string, for what varnick-session writes for programs.
#pragma once

#include <string>
#include <string_view>

namespace varnick {

// `text` as a JSON string, quotes included. Texts are UTF-8; a byte that is
// not part of UTF-8 stands as U+FFFD, so the result is always valid JSON.
std::string jsonString(std::string_view text);

}  // namespace varnick
