// How wide-character values (paths, arguments, entries) appear in narrow
// messages: as UTF-8, so that no character is lost in the log.
#pragma once

#include <cstddef>
#include <string>

namespace varnick {

// Converts UTF-16 code units to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(const char16_t* units, std::size_t count);

// Converts a NUL-terminated wide string (UTF-16 on Windows, UTF-32 elsewhere)
// to UTF-8. A null pointer gives the empty string.
std::string wideToUtf8(const wchar_t* text);

}  // namespace varnick
