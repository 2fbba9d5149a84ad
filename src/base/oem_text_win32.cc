#include "base/oem_text_win32.h"

namespace varnick {
namespace {

std::optional<std::string> convert(UINT codePage, DWORD flags, std::wstring_view text,
                                   BOOL* usedDefault) {
  const int wideLength = static_cast<int>(text.size());
  int length = WideCharToMultiByte(codePage, flags, text.data(), wideLength, nullptr, 0, nullptr,
                                   usedDefault);
  if (length == 0) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(length), '\0');
  if (WideCharToMultiByte(codePage, flags, text.data(), wideLength, bytes.data(), length, nullptr,
                          usedDefault) != length) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

std::optional<std::string> toOemCodePage(std::wstring_view text, OemFit fit) {
  if (text.empty()) return std::string();
  // UTF-8 holds every character, and takes neither the flag nor the
  // default-character report that the exact conversion asks for.
  if (fit == OemFit::kBestFit || GetOEMCP() == CP_UTF8) return convert(CP_OEMCP, 0, text, nullptr);
  BOOL usedDefault = FALSE;
  std::optional<std::string> bytes = convert(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text, &usedDefault);
  if (!bytes || usedDefault) return std::nullopt;
  // The way back as well: a code page may still map a character to a byte
  // that reads back as another one.
  const int wideLength = static_cast<int>(text.size());
  std::wstring back(text.size(), L'\0');
  int backLength = MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, bytes->data(),
                                       static_cast<int>(bytes->size()), back.data(), wideLength);
  if (backLength != wideLength || back != text) return std::nullopt;
  return bytes;
}

}  // namespace varnick
