// Reads arbitrary bytes as a session journal, and takes arbitrary session
// lines out of arbitrary hosts files, trapping when a result breaks what a
// recovery relies on.
//
// Input: one byte choosing the check, then its data. Even: the data is a
// journal. Odd: the hosts file as it was before a session, a NUL, then the
// session's entries separated by LF, appended with CR LF (Windows) or, when
// the byte's second bit is set, with LF (Linux).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_store.h"
#include "hosts/session_append.h"
#include "hosts/session_journal.h"

namespace {

using varnick::JournalLine;
using varnick::JournalRead;
using varnick::JournalState;
using varnick::LineStart;

// The journal's own records, written again by this Varnick's writers.
std::string writtenAgain(const varnick::SessionJournal& journal) {
  std::string bytes = varnick::journalHeader(journal.started);
  for (const JournalLine& line : journal.lines)
    bytes += varnick::appendedRecord(line.entry, line.start);
  if (journal.takingOut) bytes += varnick::takingOutRecord(*journal.takingOut);
  if (journal.rewriting)
    bytes += varnick::takingOutRecord("x") + varnick::rewritingRecord(*journal.rewriting);
  if (journal.takenOut) bytes += varnick::takingOutRecord("x") + varnick::takenOutRecord();
  return bytes;
}

bool sameJournal(const JournalRead& a, const JournalRead& b) {
  return a.state == b.state && a.journal.started == b.journal.started &&
         a.journal.lines == b.journal.lines && a.journal.takingOut == b.journal.takingOut &&
         a.journal.rewriting == b.journal.rewriting && a.journal.takenOut == b.journal.takenOut;
}

void checkJournal(std::string_view content) {
  const JournalRead read = varnick::readJournal(content);
  if (read.wholeSize > content.size()) __builtin_trap();
  if (read.state != JournalState::kJournal) {
    if (!read.journal.lines.empty() || read.wholeSize != 0) __builtin_trap();
    return;
  }
  // The copy a recovery reads and removes lies in the hosts file's folder.
  if (read.journal.rewriting && !varnick::isBareFileName(*read.journal.rewriting)) __builtin_trap();
  // What follows the whole records is never read, and what was read can be
  // written again.
  if (!sameJournal(varnick::readJournal(content.substr(0, read.wholeSize)), read)) __builtin_trap();
  if (!sameJournal(varnick::readJournal(writtenAgain(read.journal)), read)) __builtin_trap();
}

// Whether `kept` is `whole` with some bytes left out.
bool keepsOrderOf(std::string_view kept, std::string_view whole) {
  std::size_t at = 0;
  for (char c : kept) {
    while (at < whole.size() && whole[at] != c)
      ++at;
    if (at++ == whole.size()) return false;
  }
  return true;
}

// The entries of `text`, separated by LF: none when it is empty.
std::vector<std::string> entriesOf(std::string_view text) {
  std::vector<std::string> entries;
  if (text.empty()) return entries;
  for (;;) {
    const std::size_t end = text.find('\n');
    entries.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return entries;
    text.remove_prefix(end + 1);
  }
}

// A hosts file in memory for the session's append.
class StringTarget final : public varnick::AppendTarget {
 public:
  explicit StringTarget(std::string& hosts) : hosts_(hosts) {}
  varnick::Expected<std::optional<char>, std::uint32_t> lastByte() override {
    if (hosts_.empty()) return std::optional<char>();
    return std::optional<char>(hosts_.back());
  }
  varnick::SystemResult append(std::string_view bytes) override {
    hosts_.append(bytes);
    return {};
  }

 private:
  std::string& hosts_;
};

void checkRemoval(std::string_view before, const std::vector<std::string>& entries,
                  std::string_view lineEnd) {
  // The Linux half refuses an entry with a CR: before an LF it would read
  // as part of the line end.
  if (lineEnd == varnick::kLf) {
    for (const std::string& entry : entries)
      if (entry.find('\r') != std::string::npos) return;
  }
  // Appended as the session's Varnick appends them.
  std::string hosts(before);
  StringTarget target(hosts);
  std::vector<JournalLine> lines;
  for (const std::string& entry : entries) {
    LineStart start = LineStart::kOwnLine;
    const varnick::AppendResult appended = varnick::appendJournaledLine(
        target, entry,
        [&start](LineStart how) {
          start = how;
          return varnick::SystemResult();
        },
        lineEnd);
    if (!appended) __builtin_trap();
    lines.push_back({entry, start});
  }
  // With nobody else writing, the session's end leaves the file as it was.
  const varnick::LineRemoval undone = varnick::removeSessionLines(hosts, lines);
  if (varnick::keptText(hosts, undone) != before || undone.removed != entries) __builtin_trap();
  // Taken out of a file they were never appended to, they take only bytes.
  const varnick::LineRemoval other = varnick::removeSessionLines(before, lines);
  if (other.removed.size() + other.missing.size() != lines.size()) __builtin_trap();
  if (!keepsOrderOf(varnick::keptText(before, other), before)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    checkJournal(input);
    return 0;
  }
  const std::size_t nul = input.find('\0');
  if (nul == std::string_view::npos) return 0;
  checkRemoval(input.substr(0, nul), entriesOf(input.substr(nul + 1)),
               (data[0] & 2) != 0 ? varnick::kLf : varnick::kCrLf);
  return 0;
}
