#include "base/hex_text.h"

namespace varnick {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string hexByte(unsigned char byte, HexCase letters) {
  const char* digits = letters == HexCase::kLower ? "0123456789abcdef" : "0123456789ABCDEF";
  return {digits[byte >> 4], digits[byte & 15]};
}

std::string toHex(std::string_view bytes) {
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (char c : bytes)
    hex += hexByte(static_cast<unsigned char>(c));
  return hex;
}

std::optional<std::string> fromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

}  // namespace varnick
