#include "base/wide_text.h"

#include <cwchar>

namespace varnick {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendCodePoint(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string utf16ToUtf8(const char16_t* units, std::size_t count) {
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char16_t u = units[i];
    if (isHighSurrogate(u) && i + 1 < count && isLowSurrogate(units[i + 1])) {
      char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00);
      appendCodePoint(out, cp);
      ++i;
    } else {
      // A lone surrogate of either kind is out of range for appendCodePoint.
      appendCodePoint(out, u);
    }
  }
  return out;
}

std::string wideToUtf8(const wchar_t* text) {
  if (text == nullptr) return {};
  std::size_t length = std::wcslen(text);
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return utf16ToUtf8(reinterpret_cast<const char16_t*>(text), length);
  } else {
    std::string out;
    for (std::size_t i = 0; i < length; ++i)
      appendCodePoint(out, static_cast<char32_t>(text[i]));
    return out;
  }
}

}  // namespace varnick
