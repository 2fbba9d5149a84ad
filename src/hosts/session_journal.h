// The journal that the session's Varnick keeps beside its backup: when the
// session started and each line it appended to the hosts file. A journal
// left behind by a session that ended without its restore (a power cut, both
// processes killed) is what lets the next session take out exactly those
// lines, and nothing that other programs wrote since.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnick {

struct SessionJournal {
  std::string started;             // the session's start, local time "YYYY-MM-DD HH:MM:SS"
  std::vector<std::string> lines;  // the entries appended, in order, as written
};

// The journal's first bytes, written when the session starts.
std::string journalHeader(std::string_view started);

// One appended entry as the journal records it: on a line of its own,
// hex-encoded, so that any byte of an entry survives.
std::string journalRecord(std::string_view entry);

// Reads a journal; a last record cut short by a crash is left out. Nothing
// when the bytes are not a journal at all.
[[nodiscard]] std::optional<SessionJournal> parseJournal(std::string_view content);

struct LineRemoval {
  std::string hosts;                 // the hosts file without the lines
  std::vector<std::string> removed;  // in the journal's order
  std::vector<std::string> missing;  // no longer in the hosts file, left alone
};

// Takes each journal line out of `hosts`, the last appended first, each
// found from the end of the file as Varnick appended it: CR LF and the entry,
// then CR LF or the end of the file. Lines that others added, before or
// after, stay; so does every byte but the CR LF and the entry removed.
[[nodiscard]] LineRemoval removeJournalLines(std::string hosts,
                                             const std::vector<std::string>& lines);

}  // namespace varnick
