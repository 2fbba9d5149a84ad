#include "hosts/session_journal.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "base/hex_text.h"
#include "hosts/hosts_store.h"

namespace varnick {
namespace {

// Both formats' first lines are as long, so the line after them starts at
// the same place.
constexpr std::string_view kMagic1 = "varnick session journal 1\r\n";
constexpr std::string_view kMagic2 = "varnick session journal 2\r\n";
static_assert(kMagic1.size() == kMagic2.size());
constexpr std::string_view kStarted = "started ";
constexpr std::string_view kLineEnd = "\r\n";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Whether `content` is still on its way to `expected`.
bool couldBecome(std::string_view content, std::string_view expected) {
  return startsWith(expected, content);
}

// What reading a journal gives when it holds no whole header, or is none.
JournalRead noJournal(JournalState state) {
  JournalRead read;
  read.state = state;
  return read;
}

JournalRead cutInHeaderIf(bool cut) {
  return noJournal(cut ? JournalState::kCutInHeader : JournalState::kNotAJournal);
}

bool isFileId(std::string_view id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte > ' ' && byte <= '~';
  });
}

// What the records read so far say.
struct RecordsRead {
  SessionJournal journal;
  bool lineLast = false;  // the last record was L or S, which an F may cancel
};

// The data of a record whose letter takes some: after one blank.
std::optional<std::string_view> recordData(std::string_view afterLetter) {
  if (afterLetter.empty() || afterLetter[0] != ' ') return std::nullopt;
  return afterLetter.substr(1);
}

bool readLine(std::string_view afterLetter, LineStart start, RecordsRead& read) {
  // Lines are appended only before the first take-out.
  if (read.journal.takingOut || read.journal.rewriting || read.journal.takenOut) return false;
  std::optional<std::string_view> data = recordData(afterLetter);
  std::optional<std::string> entry = data ? fromHex(*data) : std::nullopt;
  if (!entry) return false;
  read.journal.lines.push_back({std::move(*entry), start});
  read.lineLast = true;
  return true;
}

bool readFailed(std::string_view afterLetter, RecordsRead& read) {
  if (!afterLetter.empty() || !read.lineLast) return false;
  read.journal.lines.pop_back();
  read.lineLast = false;
  return true;
}

bool readTakingOut(std::string_view afterLetter, RecordsRead& read) {
  std::optional<std::string_view> id = recordData(afterLetter);
  if (!id || !isFileId(*id)) return false;
  read.journal.takingOut = std::string(*id);
  read.journal.rewriting.reset();
  read.journal.takenOut = false;
  read.lineLast = false;
  return true;
}

// Comes only after the take-out whose swap could not be made. A recovery
// reads and removes the copy it names, as root or an administrator: a name
// that leads out of the hosts file's folder makes it no journal.
bool readRewriting(std::string_view afterLetter, RecordsRead& read) {
  std::optional<std::string_view> name = recordData(afterLetter);
  if (!name || !isBareFileName(*name) || !read.journal.takingOut) return false;
  read.journal.takingOut.reset();
  read.journal.rewriting = std::string(*name);
  return true;
}

bool readTakenOut(std::string_view afterLetter, RecordsRead& read) {
  // Without a take-out before it, none was needed: no line was in the file.
  if (!afterLetter.empty()) return false;
  read.journal.takingOut.reset();
  read.journal.rewriting.reset();
  read.journal.takenOut = true;
  read.lineLast = false;
  return true;
}

// One whole record of the current format, without its CR LF.
bool readRecord(std::string_view record, RecordsRead& read) {
  if (record.empty()) return false;
  const std::string_view afterLetter = record.substr(1);
  switch (record[0]) {
    case 'L':
      return readLine(afterLetter, LineStart::kOwnLine, read);
    case 'S':
      return readLine(afterLetter, LineStart::kAfterSeparator, read);
    case 'F':
      return readFailed(afterLetter, read);
    case 'T':
      return readTakingOut(afterLetter, read);
    case 'R':
      return readRewriting(afterLetter, read);
    case 'D':
      return readTakenOut(afterLetter, read);
    default:
      return false;
  }
}

// One whole record of format 1, as an older Varnick's journal holds it: the
// entry alone, whose line went in as CR LF and the entry, with no line end
// after it.
bool readFormat1Record(std::string_view record, RecordsRead& read) {
  std::optional<std::string> entry = fromHex(record);
  if (!entry) return false;
  read.journal.lines.push_back({std::move(*entry), LineStart::kAfterSeparator});
  return true;
}

// Reads the records from `whole`, the end of the header, and moves `whole`
// past each one read. Bytes after the last CR LF are a record that a crash
// cut short, whose step never happened.
bool readRecords(std::string_view content, bool format1, std::size_t& whole, RecordsRead& read) {
  std::string_view records = content.substr(whole);
  for (std::size_t end; (end = records.find(kLineEnd)) != std::string_view::npos;) {
    std::string_view record = records.substr(0, end);
    if (!(format1 ? readFormat1Record(record, read) : readRecord(record, read))) return false;
    whole += end + kLineEnd.size();
    records.remove_prefix(end + kLineEnd.size());
  }
  return true;
}

// A byte range of the hosts file, [from, to).
struct Range {
  std::size_t from;
  std::size_t to;
};

// A line of the hosts file: its text, then its line end up to `end`.
struct HostsLine {
  std::size_t begin;
  std::size_t textEnd;
  std::size_t end;
};

// The line of `hosts` whose line end finishes at `end` (0 < end).
HostsLine lineEndingAt(std::string_view hosts, std::size_t end) {
  HostsLine line{0, end, end};
  if (hosts[end - 1] == '\n') --line.textEnd;
  if (line.textEnd > 0) {
    std::size_t lf = hosts.rfind('\n', line.textEnd - 1);
    line.begin = lf == std::string_view::npos ? 0 : lf + 1;
  }
  // Only a CR before an LF ends a line; one at the very end is text.
  if (line.textEnd < end && line.textEnd > line.begin && hosts[line.textEnd - 1] == '\r')
    --line.textEnd;
  return line;
}

// The journal's indices by entry, each list in the journal's order so that
// its back is the latest appended of the entries not yet found.
using PendingLines = std::unordered_map<std::string_view, std::vector<std::size_t>>;

PendingLines pendingLines(const std::vector<JournalLine>& lines) {
  PendingLines pending;
  for (std::size_t i = 0; i < lines.size(); ++i)
    pending[lines[i].entry].push_back(i);
  return pending;
}

// The journal line that takes a file line of this text: the latest appended
// with it that no later file line took.
std::optional<std::size_t> take(PendingLines& pending, std::string_view text) {
  auto found = pending.find(text);
  if (found == pending.end() || found->second.empty()) return std::nullopt;
  std::size_t index = found->second.back();
  found->second.pop_back();
  return index;
}

// Adds a range before all the others; ranges that touch become one.
void addCut(std::vector<Range>& cuts, std::size_t from, std::size_t to) {
  if (!cuts.empty() && cuts.back().from == to) {
    cuts.back().from = from;
  } else {
    cuts.push_back({from, to});
  }
}

// `hosts` without the cuts, which run from the end of the file backwards.
// What stays between the cuts, which were found from the end.
std::vector<KeptBytes> keptBytes(std::size_t size, const std::vector<Range>& cuts) {
  std::vector<KeptBytes> kept;
  std::size_t from = 0;
  for (auto cut = cuts.rbegin(); cut != cuts.rend(); ++cut) {
    if (cut->from > from) kept.push_back({from, cut->from});
    from = cut->to;
  }
  if (size > from) kept.push_back({from, size});
  return kept;
}

}  // namespace

std::string journalHeader(std::string_view started) {
  std::string header(kMagic2);
  header.append(kStarted).append(started).append(kLineEnd);
  return header;
}

std::string appendedRecord(std::string_view entry, LineStart start) {
  std::string record(start == LineStart::kOwnLine ? "L " : "S ");
  return record.append(toHex(entry)).append(kLineEnd);
}

std::string failedRecord() { return std::string("F").append(kLineEnd); }

std::string takingOutRecord(std::string_view fileId) {
  return std::string("T ").append(fileId).append(kLineEnd);
}

std::string rewritingRecord(std::string_view copyName) {
  return std::string("R ").append(copyName).append(kLineEnd);
}

std::string takenOutRecord() { return std::string("D").append(kLineEnd); }

JournalRead readJournal(std::string_view content) {
  const bool format1 = startsWith(content, kMagic1);
  if (!format1 && !startsWith(content, kMagic2))
    return cutInHeaderIf(couldBecome(content, kMagic1) || couldBecome(content, kMagic2));
  std::string_view rest = content.substr(kMagic2.size());
  if (!startsWith(rest, kStarted)) return cutInHeaderIf(couldBecome(rest, kStarted));
  rest.remove_prefix(kStarted.size());
  const std::size_t end = rest.find(kLineEnd);
  if (end == std::string_view::npos) return noJournal(JournalState::kCutInHeader);
  RecordsRead read;
  read.journal.started = std::string(rest.substr(0, end));
  std::size_t whole = content.size() - rest.size() + end + kLineEnd.size();
  if (!readRecords(content, format1, whole, read)) return noJournal(JournalState::kNotAJournal);
  return {JournalState::kJournal, std::move(read.journal), whole};
}

LineRemoval removeSessionLines(std::string_view hosts, const std::vector<JournalLine>& lines) {
  PendingLines pending = pendingLines(lines);
  std::vector<bool> found(lines.size(), false);
  std::size_t left = lines.size();
  std::vector<Range> cuts;
  bool keptAfter = false;   // a line after the current one stays
  bool cutLineEnd = false;  // the current line's line end is a removed line's separator
  // Once every journal line is found, the lines before stay as they are.
  for (std::size_t end = hosts.size(); end > 0 && (left > 0 || cutLineEnd);) {
    const HostsLine line = lineEndingAt(hosts, end);
    std::optional<std::size_t> taker =
        left > 0 ? take(pending, hosts.substr(line.begin, line.textEnd - line.begin))
                 : std::nullopt;
    if (taker) {
      found[*taker] = true;
      --left;
      addCut(cuts, line.begin, line.end);
      // Once a line stays after it, the separator has become the line end
      // of the line before, which would run into that line without it.
      cutLineEnd = lines[*taker].start == LineStart::kAfterSeparator && !keptAfter;
    } else {
      if (cutLineEnd) addCut(cuts, line.textEnd, line.end);
      cutLineEnd = false;
      keptAfter = true;
    }
    end = line.begin;
  }
  LineRemoval result;
  result.kept = keptBytes(hosts.size(), cuts);
  for (std::size_t i = 0; i < lines.size(); ++i)
    (found[i] ? result.removed : result.missing).push_back(lines[i].entry);
  return result;
}

std::string keptText(std::string_view hosts, const LineRemoval& removal) {
  std::string text;
  for (const KeptBytes& piece : removal.kept)
    text.append(hosts.substr(piece.from, piece.to - piece.from));
  return text;
}

}  // namespace varnick
