#include "session/session_entries.h"

#include <utility>

#include "base/wide_text.h"
#include "hosts/entry_syntax.h"
#include "hosts/visible_text.h"
#include "session/session_advice.h"
#include "session/session_output.h"

namespace varnick::control {
namespace {

// Converts one entry as the options ask and checks that it makes one line
// of the hosts file. `where` says where it came from, for the report.
std::optional<SessionEntry> entryToSend(const SessionOptions& options, const std::wstring& entry,
                                        const std::string& where) {
  std::string shown = visibleText(wideToUtf8(entry.c_str()));
  Expected<std::string, std::string> converted = entryWireBytes(entry, options, shown);
  if (!converted) {
    report(where + converted.error());
    return std::nullopt;
  }
  std::string bytes = std::move(converted).value();
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

// The entries of one --hosts-file, each checked; false when the file
// cannot be read or a line cannot be an entry (its number is reported).
bool appendFileEntries(const SessionOptions& options, const std::wstring& path,
                       std::vector<SessionEntry>& entries) {
  Expected<std::string, std::string> content = readEntryFile(path);
  if (!content) {
    report(content.error());
    return false;
  }
  for (const FileEntry& line : parseEntryFile(*content)) {
    const std::string where = wideToUtf8(path.c_str()) + ":" + std::to_string(line.line) + ": ";
    std::optional<std::wstring> entry = utf8ToWide(line.text);
    if (!entry) {
      report(where + "the line is not UTF-8 text");
      return false;
    }
    std::optional<SessionEntry> checked = entryToSend(options, *entry, where);
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
