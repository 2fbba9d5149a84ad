// A session's append: its journal record first, then its line, on a line of
// its own. Portable, so that the order and the bytes are tested with a
// journal and a file that fail on purpose.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "hosts/hosts_file.h"
#include "hosts/hosts_store.h"
#include "hosts/journal_file.h"
#include "hosts/session_journal.h"

namespace varnick {

// The hosts file, open for appending and reading, writers kept out.
class AppendTarget {
 public:
  virtual ~AppendTarget() = default;
  // The file's last byte, or nothing when it is empty.
  virtual Expected<std::optional<char>, std::uint32_t> lastByte() = 0;
  // Writes `bytes` at the end of the file in one write.
  virtual SystemResult append(std::string_view bytes) = 0;
};

// The line end of the system's text files: Windows' CR LF, or LF.
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kLf = "\n";

// Appends `entry` and `lineEnd` to `target`, after a line end of its own
// when the file does not end in LF, once `journal` has recorded how the
// line starts (a failure, with its error code, stops the append before
// anything is written). That separator is `lineEnd`, but CR LF after a CR: an LF
// alone would make the file's own CR part of a line end, and taking the
// separator out again would take the CR with it.
[[nodiscard]] AppendResult appendJournaledLine(
    AppendTarget& target, std::string_view entry,
    const std::function<SystemResult(LineStart)>& journal, std::string_view lineEnd = kCrLf);

// What a journaled append did: the append; the error code of the record
// that its line did not go in after all; and that of the flush of the hosts
// file after a whole write (the line is in and journaled all the same).
struct JournaledAppend {
  AppendResult appended;
  std::uint32_t unrecorded = 0;
  std::uint32_t unflushed = 0;
};

// A session's or a service connection's append, under the write lock: the
// journal records the entry, flushed, before its line goes in with the
// store's line end, so that a power cut at any instant leaves no line that
// the journal does not name. The entry is `received` up to its first zero
// byte; one with an entryProblem (a line end, another control character but
// tab, more than 254 bytes) is refused (kWriteFailed) before anything is
// written, whatever the door it came through checked.
[[nodiscard]] JournaledAppend appendJournaled(HostsStore& store, JournalFile& journal,
                                              std::string_view received);

}  // namespace varnick
