#include "hosts/session_append.h"

#include <string>

#include "hosts/entry_syntax.h"

namespace varnick {

AppendResult appendJournaledLine(AppendTarget& target, std::string_view entry,
                                 const std::function<SystemResult(LineStart)>& journal,
                                 std::string_view lineEnd) {
  Expected<std::optional<char>, std::uint32_t> read = target.lastByte();
  if (!read) return failedAt(AppendStep::kReadFailed, read.error());
  const std::optional<char> last = *read;
  // What another program appends later then starts a line of its own too,
  // and a line that was glued to the last one could not be found again.
  const LineStart start = !last || *last == '\n' ? LineStart::kOwnLine : LineStart::kAfterSeparator;
  // Recorded and flushed before the line goes in: a power cut at any instant
  // leaves no line of the session that its journal does not name.
  if (SystemResult recorded = journal(start); !recorded)
    return failedAt(AppendStep::kJournalFailed, recorded.error());
  std::string line;
  line.reserve(entry.size() + 2 * kCrLf.size());
  if (start == LineStart::kAfterSeparator) line.append(*last == '\r' ? kCrLf : lineEnd);
  line.append(entry).append(lineEnd);
  if (SystemResult written = target.append(line); !written)
    return failedAt(AppendStep::kWriteFailed, written.error());
  return {};
}

}  // namespace varnick

namespace varnick {
namespace {

// The hosts file as the store opened it to append to.
class StoreAppend final : public AppendTarget {
 public:
  explicit StoreAppend(StoreFile& file) : file_(file) {}

  Expected<std::optional<char>, std::uint32_t> lastByte() override {
    StoreResult<std::optional<char>> byte = file_.lastByte();
    if (!byte) return unexpected(byte.error().code);
    return *byte;
  }

  SystemResult append(std::string_view bytes) override {
    StoreResult<void> written = file_.append(bytes);
    if (!written) return unexpected(written.error().code);
    return {};
  }

 private:
  StoreFile& file_;
};

}  // namespace

JournaledAppend appendJournaled(HostsStore& store, JournalFile& journal,
                                std::string_view received) {
  const std::string_view entry = received.substr(0, received.find('\0'));
  // Whatever the door checked: a line end or another control character
  // would make lines that no take-out finds, or drive a reader's terminal.
  if (entryProblem(entry)) return {failedAt(AppendStep::kWriteFailed, store.invalidContentCode())};
  StoreResult<std::unique_ptr<StoreHold>> lock = store.lockWrites(kWriteLockWaitMs);
  if (!lock) return {failedAt(AppendStep::kLockFailed, lock.error().code)};
  StoreResult<OpenFile> hosts = store.openHostsToAppend();
  if (!hosts) return {failedAt(AppendStep::kOpenFailed, hosts.error().code)};
  StoreAppend target(**hosts);
  JournaledAppend result{appendJournaledLine(
      target, entry,
      [&journal, entry](LineStart start) {
        StoreResult<void> recorded = journal.appended(entry, start);
        if (!recorded) return SystemResult(unexpected(recorded.error().code));
        return SystemResult();
      },
      store.lineEnd())};
  if (!result.appended && result.appended.error().step == AppendStep::kWriteFailed) {
    StoreResult<void> recorded = journal.appendFailed();
    if (!recorded) result.unrecorded = recorded.error().code;
  } else if (result.appended) {
    StoreResult<void> flushed = (*hosts)->flush();
    if (!flushed) result.unflushed = flushed.error().code;
  }
  return result;
}

}  // namespace varnick
