#include "hosts/session_append.h"

#include <string>

namespace varnick {

AppendResult appendJournaledLine(AppendTarget& target, std::string_view entry,
                                 const std::function<std::uint32_t(LineStart)>& journal,
                                 std::string_view lineEnd) {
  std::optional<char> last;
  if (std::uint32_t error = target.lastByte(last)) return failedAt(AppendStep::kReadFailed, error);
  // What another program appends later then starts a line of its own too,
  // and a line that was glued to the last one could not be found again.
  const LineStart start = !last || *last == '\n' ? LineStart::kOwnLine : LineStart::kAfterSeparator;
  // Recorded and flushed before the line goes in: a power cut at any instant
  // leaves no line of the session that its journal does not name.
  if (std::uint32_t error = journal(start)) return failedAt(AppendStep::kJournalFailed, error);
  std::string line;
  line.reserve(entry.size() + 2 * kCrLf.size());
  if (start == LineStart::kAfterSeparator) line.append(*last == '\r' ? kCrLf : lineEnd);
  line.append(entry).append(lineEnd);
  if (std::uint32_t error = target.append(line)) return failedAt(AppendStep::kWriteFailed, error);
  return {};
}

}  // namespace varnick
