// A session's entries as they go on the wire: each --add, and each line of
// each --hosts-file, in the bytes the options ask for and checked to make
// one line of the hosts file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "session/session_options.h"

namespace varnick::control {

// One entry as it goes on the wire, and as messages name it.
struct SessionEntry {
  std::string bytes;
  std::string shown;
};

// The entries in the bytes they are sent as, in the order given, each
// checked to make one line of the hosts file; nothing (and a report) when
// one cannot, or when there are none at all.
std::optional<std::vector<SessionEntry>> entriesToSend(const SessionOptions& options);

// The platform's half (session_entries_win32.cc, session_entries_posix.cc).
// The bytes that `entry` goes on the wire as, as `options` ask; or why it
// cannot, completing "the entry '<shown>' ": the system's encoding cannot
// hold it exactly.
Expected<std::string, std::string> entryWireBytes(const std::wstring& entry,
                                                  const SessionOptions& options,
                                                  const std::string& shown);
// The whole of a --hosts-file's bytes; or why not, naming the file.
Expected<std::string, std::string> readEntryFile(const std::wstring& path);

}  // namespace varnick::control
