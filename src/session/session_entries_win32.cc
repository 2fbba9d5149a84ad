#include <windows.h>

#include <utility>

#include "base/error_text.h"
#include "base/file_io_win32.h"
#include "base/oem_text_win32.h"
#include "base/unique_resource_win32.h"
#include "base/wide_text.h"
#include "session/session_entries.h"

namespace varnick::control {
namespace {

std::string systemMessage(DWORD code) {
  wchar_t* raw = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  UniqueLocal<wchar_t*> text(raw);
  std::string message = length ? wideToUtf8(text.get()) : std::string();
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message + (message.empty() ? "" : " ") + errorInParentheses(code);
}

}  // namespace

// UTF-8, or the OEM code page as `varnick add` writes entries, but with no
// best-fit look-alike and no default character, which would change the name.
Expected<std::string, std::string> entryWireBytes(const std::wstring& entry,
                                                  const SessionOptions& options,
                                                  const std::string& shown) {
  // The length is the entry's own: a NUL inside it must reach the checks.
  if (options.utf8) return wideSpanToUtf8(entry);
  if (std::optional<std::string> oem = toOemCodePage(entry, OemFit::kExact)) return std::move(*oem);
  return unexpected("the entry '" + shown + "' cannot be written exactly in the OEM code page (" +
                    std::to_string(GetOEMCP()) + "); to send it as UTF-8, add --utf8");
}

Expected<std::string, std::string> readEntryFile(const std::wstring& path) {
  Expected<std::string, std::uint32_t> content = readShared(path.c_str());
  if (!content)
    return unexpected("could not read " + wideToUtf8(path.c_str()) + ": " +
                      systemMessage(content.error()));
  return std::move(*content);
}

}  // namespace varnick::control
