// Checks that varnick-session makes on the bytes it sends and on the hosts
// file it leaves behind, and what it reads of Varnick's log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnick::control {

// `varnick add` takes at most 254 bytes of entry, and so does a session.
constexpr std::size_t kMaxSessionEntryBytes = 254;

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

}  // namespace varnick::control
