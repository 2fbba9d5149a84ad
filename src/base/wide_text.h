// How wide-character values (paths, arguments, entries) appear in narrow
// messages: as UTF-8, so that no character is lost in the log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnick {

// Converts UTF-16 code units to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(const char16_t* units, std::size_t count);

// Converts a NUL-terminated wide string (UTF-16 on Windows, UTF-32 elsewhere)
// to UTF-8. A null pointer gives the empty string.
std::string wideToUtf8(const wchar_t* text);

// As wideToUtf8, for every unit of `text`, NULs included.
std::string wideSpanToUtf8(std::wstring_view text);

// Converts UTF-8 to wide characters (UTF-16 on Windows, UTF-32 elsewhere);
// nothing when `text` is not UTF-8: a stray, missing or cut continuation
// byte, an overlong form, a surrogate, or a code point past U+10FFFF. A
// zero byte is a character like any other.
std::optional<std::wstring> utf8ToWide(std::string_view text);

}  // namespace varnick
