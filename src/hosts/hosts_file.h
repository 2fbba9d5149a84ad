// The hosts file's own operations that `add` and server mode share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string_view>

#include "base/expected.h"
#include "hosts/replacement.h"
#include "hosts/session_journal.h"

namespace varnick {

// The step at which an append stopped; only a session's append reads the
// file's end and keeps a journal.
enum class AppendStep { kLockFailed, kOpenFailed, kReadFailed, kJournalFailed, kWriteFailed };

// The words for an append that stopped at a step: why, as a reply or a
// report says it; what the log's record says failed ("Failed to <failedTo>
// <code>", where kWriteFailed's %s is the entry as shown); and whether that
// record is an error rather than information.
struct AppendStepWords {
  AppendStep step;
  const char* why;
  const char* failedTo;
  bool recordIsError;
};

inline constexpr AppendStepWords kAppendStepWords[] = {
    {AppendStep::kLockFailed, "the write lock of the hosts file could not be taken",
     "take the write lock of the hosts file", true},
    {AppendStep::kOpenFailed, "the hosts file could not be opened", "open hosts file", false},
    {AppendStep::kReadFailed, "the hosts file could not be read", "read hosts file", true},
    {AppendStep::kJournalFailed, "the hosts file was left alone: the journal could not be written",
     "write the session journal", true},
    {AppendStep::kWriteFailed, "the hosts file could not be written", "write %s to hosts file",
     false},
};
static_assert(rowsFollowSteps(kAppendStepWords) &&
              std::size(kAppendStepWords) ==
                  static_cast<std::size_t>(AppendStep::kWriteFailed) + 1);

// The row of kAppendStepWords for `step`: the rows are in the enum's order.
constexpr const AppendStepWords& appendStepWords(AppendStep step) {
  return kAppendStepWords[static_cast<std::size_t>(step)];
}

// Why an append stopped, in the words of the replies and reports.
constexpr const char* appendStepText(AppendStep step) { return appendStepWords(step).why; }

using AppendResult = Expected<void, StepFailure<AppendStep>>;

// Appends CR LF and `entry` to the existing hosts file, in one write, once
// no other Varnick is writing to it (a del under way is waited for). While the file
// is open, other processes may read it but not write to it; a missing hosts
// file is not created. A short write counts as failed.
[[nodiscard]] AppendResult appendLine(std::string_view entry);

// Copies the hosts file to `backupPath`, overwriting a plain file there,
// trying again for a bounded time while another process holds either file;
// the failure is the error code of the last try. A backup path that is a
// link, or that leads through one, is refused (kErrorIsLink) before anything
// is written.
[[nodiscard]] SystemResult backUpHostsFile(const wchar_t* backupPath);

// A restore that is done: whether it found no hosts file to put the backup
// in place of.
struct Restored {
  bool hostsFileWasMissing = false;
};
using RestoreOutcome = Expected<Restored, StepFailure<RestoreStage>>;

// Puts the content of `backupPath` in place of the hosts file in one step,
// under the write lock, waiting up to kRestoreWaitMs while another Varnick
// writer or a reader stands in the way; `waiting` hears of each kind of wait
// once. The backup is left as it is; on failure the hosts file keeps its
// content. A missing hosts file is put back all the same.
[[nodiscard]] RestoreOutcome restoreHostsFile(
    const wchar_t* backupPath, const std::function<void(RestoreWait, std::uint32_t)>& waiting);

}  // namespace varnick
