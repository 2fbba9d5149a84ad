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
  return wideSpanToUtf8(std::wstring_view(text, std::wcslen(text)));
}

std::string wideSpanToUtf8(std::wstring_view text) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return utf16ToUtf8(reinterpret_cast<const char16_t*>(text.data()), text.size());
  } else {
    std::string out;
    for (wchar_t c : text)
      appendCodePoint(out, static_cast<char32_t>(c));
    return out;
  }
}

std::optional<std::wstring> utf8ToWide(std::string_view text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    // How many bytes follow the lead, and the least code point that needs them.
    std::size_t more = 0;
    char32_t least = 0;
    char32_t cp = lead;
    if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3, least = 0x10000, cp = lead & 0x07;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2, least = 0x800, cp = lead & 0x0F;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1, least = 0x80, cp = lead & 0x1F;
    } else if (lead >= 0x80) {
      return std::nullopt;  // a continuation byte, an overlong lead, or past F4
    }
    if (text.size() - i - 1 < more) return std::nullopt;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (sizeof(wchar_t) == sizeof(char16_t) && cp >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
    i += more + 1;
  }
  return out;
}

}  // namespace varnick
