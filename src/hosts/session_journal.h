// The journal that the session's Varnick keeps beside the hosts file: when the
// session started, each line it appended to the hosts file, and each swap of
// the hosts file that takes lines out again. A journal left behind by a
// session that ended without taking its lines out (a power cut, both processes
// killed) is what lets a later recovery take out exactly those lines, and
// nothing that other programs wrote since.
//
// Every record is one line ending in CR LF, written and flushed before the
// step it announces, so that a crash leaves at most a last record without
// its CR LF, and that record's step never happened.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnick {

// How an entry was appended. The hosts file ends in a line end when its last
// byte is LF; an empty file counts as ending in one.
// The line end is the system's: CR LF on Windows, LF on Linux.
enum class LineStart {
  kOwnLine,         // the file ended in a line end: the entry and a line end were appended
  kAfterSeparator,  // it did not: a line end, the entry and a line end were appended
};

// The journal's first bytes, written when the session starts.
[[nodiscard]] std::string journalHeader(std::string_view started);

// An entry about to be appended, hex-encoded so that any byte of it
// survives: "L <hex>" or "S <hex>".
[[nodiscard]] std::string appendedRecord(std::string_view entry, LineStart start);

// The line of the record just before was not appended after all.
[[nodiscard]] std::string failedRecord();

// A hosts file without every line recorded so far is about to be swapped in;
// `fileId` names that file, in non-blank printable ASCII.
[[nodiscard]] std::string takingOutRecord(std::string_view fileId);

// The swap that the last takingOutRecord announced could not be made (the
// hosts file is a mount point of its own, as in a container), so the hosts
// file is about to be written over in place. `copyName` names a file beside
// the hosts file that holds its content from before, flushed: a recovery
// that finds the hosts file cut in the middle of that write makes the new
// content again from it. A bare file name (isBareFileName in
// hosts_store.h); a journal naming anything else is not read as one.
[[nodiscard]] std::string rewritingRecord(std::string_view copyName);

// The swap or rewrite that the last takingOutRecord or rewritingRecord
// announced is done; without one before it, none was needed (no line was
// left in the hosts file).
[[nodiscard]] std::string takenOutRecord();

struct JournalLine {
  std::string entry;
  LineStart start = LineStart::kOwnLine;
  bool operator==(const JournalLine& other) const {
    return entry == other.entry && start == other.start;
  }
};

struct SessionJournal {
  std::string started;             // the session's start, local time "YYYY-MM-DD HH:MM:SS"
  std::vector<JournalLine> lines;  // the lines appended, in order
  // The file that the last swap would bring in, while that swap is not
  // known to be done: it may or may not be the hosts file now.
  std::optional<std::string> takingOut;
  // The copy of the hosts file from before an in-place rewrite that is not
  // known to be done: the hosts file may be cut anywhere in that write.
  std::optional<std::string> rewriting;
  bool takenOut = false;  // the last swap is done: no line is left to take out
};

enum class JournalState {
  kJournal,
  // Empty, or cut by a crash inside its header: the session appended no
  // line, and the journal can go.
  kCutInHeader,
  kNotAJournal,
};

struct JournalRead {
  JournalState state = JournalState::kNotAJournal;
  SessionJournal journal;  // when kJournal
  // The bytes that are the header and whole records. A record cut by a
  // crash starts there, so whatever is appended to the journal later must
  // start there too.
  std::size_t wholeSize = 0;
};

// Reads a journal of this Varnick or of the one before, whose lines were
// all appended after a separator, without a line end after them.
[[nodiscard]] JournalRead readJournal(std::string_view content);

// A piece of the hosts file that stays: bytes [from, to).
struct KeptBytes {
  std::size_t from = 0;
  std::size_t to = 0;
};

struct LineRemoval {
  // The pieces of the hosts file that stay, in order: the file without the
  // lines, written out without a second copy of a large file in memory.
  std::vector<KeptBytes> kept;
  std::vector<std::string> removed;  // in the journal's order
  std::vector<std::string> missing;  // no longer a whole line of the hosts file: left alone
};

// Takes the journal's lines out of `hosts`, in one pass from its end. A line
// of the file ends at LF, a CR before it belonging to the line end, or at
// the end of the file. Each journal line, the last appended first, takes the
// last whole line equal to its entry that no later one took, and its line
// end with it. A line appended after a separator takes that separator too
// when no line is left after it, so that a file that nobody else changed is
// left byte for byte as it was before the session. Every other byte stays.
[[nodiscard]] LineRemoval removeSessionLines(std::string_view hosts,
                                             const std::vector<JournalLine>& lines);

// The kept pieces of `hosts` joined: the file without the lines.
[[nodiscard]] std::string keptText(std::string_view hosts, const LineRemoval& removal);

}  // namespace varnick
