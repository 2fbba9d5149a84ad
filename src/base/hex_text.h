// Bytes as hexadecimal digits: in journals and file names (lower case), in
// JSON escapes, and in messages that show a control character (upper case).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnick {

enum class HexCase { kLower, kUpper };

// The two digits of `byte`, high first.
std::string hexByte(unsigned char byte, HexCase letters = HexCase::kLower);

// Every byte of `bytes` as two lower-case digits.
std::string toHex(std::string_view bytes);

// The bytes that lower-case digits stand for; nothing for an odd count or
// any other character.
std::optional<std::string> fromHex(std::string_view text);

}  // namespace varnick
