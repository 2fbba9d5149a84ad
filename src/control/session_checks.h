// Checks that varnick-session makes on the bytes it sends and on the hosts
// file it leaves behind, what it reads of Varnick's log, and how --status
// puts what it found into words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/entry_bytes.h"

namespace varnick::control {

// A session takes as much entry as `varnick add`: its conversion room less
// the NUL.
constexpr std::size_t kMaxSessionEntryBytes = kEntryConversionRoom - 1;

// Why an entry, in the bytes it is sent as, cannot go into the hosts file as
// one line of what it says: it holds a CR, LF or NUL, another control
// character than tab (VT, FF, Ctrl+Z, DEL ...), or is longer than 254 bytes.
// Nothing when it can. In the OEM code pages and in UTF-8 alike, a byte
// below 0x20 or 0x7F is that control character and never part of another.
std::optional<std::string> entryProblem(std::string_view bytes);

// `text` with CR, LF and NUL written as \r, \n and \0, and the other control
// characters but tab as \xNN, so that a message that names an entry stays on
// one line and shows what it holds.
std::string visibleText(std::string_view text);

// The lines of `now` that `expected` lacks (added by someone else), and the
// lines of `expected` that `now` lacks (removed by someone else), each in the
// order of its file. Lines end at LF; a CR before it is not part of the line.
struct LineChanges {
  std::vector<std::string> added;
  std::vector<std::string> removed;
  bool empty() const { return added.empty() && removed.empty(); }
};
LineChanges changedLines(std::string_view expected, std::string_view now);

// What Varnick's "Recovery" records in `logText` (whole records of
// varnick.log, "HH:MM:SS LEVEL Recovery - message") say, one note each, in
// their order, in the session's words: "removed '10.0.0.1 a.test', left by
// an interrupted session that started 2026-12-07 13:25:03". A message of
// another form is passed on as it stands. A last record without its line
// end is left out: it may still be being written.
std::vector<std::string> recoveryNotes(std::string_view logText);

// The lines that the "Removed" records in `logText` name, each with the time
// its session started, in their order; the line as Varnick wrote it.
struct RecoveredLine {
  std::string line;
  std::string sessionStarted;
  bool operator==(const RecoveredLine& other) const {
    return line == other.line && sessionStarted == other.sessionStarted;
  }
};
std::vector<RecoveredLine> recoveredLines(std::string_view logText);

// What the records of the session's Varnick serving `port` in `logText` say
// of its end, one note each: "took out '10.0.0.1 a.test'", or the line that
// someone changed or removed meanwhile, which it left.
std::vector<std::string> sessionEndNotes(std::string_view logText, unsigned port);

// A size for people: "27 bytes", "1 byte", "12.3 KB", "4.0 MB" (units of 1024).
std::string sizeText(std::uint64_t bytes);

// What varnick-session --status found. Paths are UTF-8; a size is nothing
// when the file is not there.
struct FileFact {
  std::string path;
  std::optional<std::uint64_t> size;
};

// Whether something runs: kHidden when this process may not look.
enum class Running { kYes, kNo, kUnknown, kHidden };

struct JournalFact {
  FileFact journal;
  FileFact backup;       // the backup of the same session, kept by an older Varnick
  bool running = false;  // a Varnick holds it open: its session runs, or is being put right
  std::optional<std::string> bytes;  // the journal's content, when it could be read
  unsigned long readError = 0;       // why it could not, when it could not
};

struct StatusFacts {
  std::optional<FileFact> hostsFile;  // nothing when DataBasePath does not lead to it
  Running server = Running::kUnknown;
  unsigned long serverError = 0;  // when kUnknown
  std::vector<JournalFact> journals;
  std::vector<FileFact> backupsAlone;  // session backups whose journal is gone
  std::string tempFolder;
  std::size_t tempCopies = 0;
  std::uint64_t tempBytes = 0;
  std::optional<FileFact> log;  // nothing when LOCALAPPDATA is not set
};

// The report, one fact a line; details of a fact are indented under it.
// A journal is read with readJournal; one that no Varnick holds open is an
// interrupted session's, and the lines say how to take its entries out.
std::vector<std::string> statusLines(const StatusFacts& facts);

}  // namespace varnick::control
