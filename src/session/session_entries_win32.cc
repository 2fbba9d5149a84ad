#include "session/session_entries_win32.h"

#include <windows.h>

#include <utility>

#include "base/error_text.h"
#include "base/file_io_win32.h"
#include "base/oem_text_win32.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "hosts/entry_syntax.h"
#include "hosts/visible_text.h"
#include "session/session_advice.h"
#include "session/session_output_win32.h"

namespace varnick::control {
namespace {

// The entry's bytes for the wire: UTF-8, or the OEM code page as `varnick
// add` writes entries, but with no best-fit look-alike and no default
// character, which would change the name. Nothing when the code page cannot
// hold every character as it is.
std::optional<std::string> entryBytes(const std::wstring& entry, bool utf8) {
  // The length is the entry's own: a NUL inside it must reach the checks.
  if (utf8) return utf16ToUtf8(reinterpret_cast<const char16_t*>(entry.data()), entry.size());
  return toOemCodePage(entry, OemFit::kExact);
}

// Converts one entry as the options ask and checks that it makes one line
// of the hosts file. `where` says where it came from, for the report.
std::optional<SessionEntry> entryToSend(const SessionOptions& options, const std::wstring& entry,
                                        const std::string& where) {
  std::string shown = visibleText(wideToUtf8(entry.c_str()));
  std::optional<std::string> converted = entryBytes(entry, options.utf8);
  if (!converted) {
    report(where + "the entry '" + shown + "' cannot be written exactly in the OEM code page (" +
           std::to_string(GetOEMCP()) + "); to send it as UTF-8, add --utf8");
    return std::nullopt;
  }
  std::string bytes = std::move(*converted);
  if (std::optional<std::string> problem = entryProblem(bytes)) {
    report(where + "the entry '" + shown + "' " + *problem);
    return std::nullopt;
  }
  if (options.raw) return SessionEntry{std::move(bytes), std::move(shown)};
  if (std::optional<std::string> refusal = entrySyntaxRefusal(wideToUtf8(entry.c_str()), shown)) {
    report(where + *refusal);
    return std::nullopt;
  }
  return SessionEntry{std::move(bytes), std::move(shown)};
}

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

// The whole of a file's bytes; nothing (and a report) when it cannot be read.
std::optional<std::string> readWholeFile(const std::wstring& path) {
  std::string content;
  if (SystemResult read = readShared(path.c_str(), content); !read) {
    report("could not read " + wideToUtf8(path.c_str()) + ": " + systemMessage(read.error()));
    return std::nullopt;
  }
  return content;
}

// The entries of one --hosts-file, each checked; nothing when the file
// cannot be read or a line cannot be an entry (its number is reported).
bool appendFileEntries(const SessionOptions& options, const std::wstring& path,
                       std::vector<SessionEntry>& entries) {
  std::optional<std::string> content = readWholeFile(path);
  if (!content) return false;
  for (const FileEntry& line : parseEntryFile(*content)) {
    std::string where = wideToUtf8(path.c_str()) + ":" + std::to_string(line.line) + ": ";
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.text.data(),
                                     static_cast<int>(line.text.size()), nullptr, 0);
    if (length == 0) {
      report(where + "the line is not UTF-8 text");
      return false;
    }
    std::wstring entry(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.text.data(), static_cast<int>(line.text.size()),
                        entry.data(), length);
    std::optional<SessionEntry> checked = entryToSend(options, entry, where);
    if (!checked) return false;
    entries.push_back(std::move(*checked));
  }
  return true;
}

}  // namespace

std::optional<std::vector<SessionEntry>> entriesToSend(const SessionOptions& options) {
  std::vector<SessionEntry> entries;
  for (const EntrySource& source : options.entries) {
    if (source.kind == EntrySource::Kind::kFile) {
      if (!appendFileEntries(options, source.value, entries)) return std::nullopt;
    } else if (auto checked = entryToSend(options, source.value, "")) {
      entries.push_back(std::move(*checked));
    } else {
      return std::nullopt;
    }
  }
  if (entries.empty()) {
    report("no entries to add: the hosts files given hold none");
    return std::nullopt;
  }
  return entries;
}

}  // namespace varnick::control
