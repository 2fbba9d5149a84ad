// The hosts file's own operations that `add` and server mode share.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "base/expected.h"
#include "hosts/replacement.h"
#include "hosts/session_journal.h"

namespace varnick {

enum class AppendStep {
  kLockFailed,     // the write lock
  kOpenFailed,     // the hosts file could not be opened
  kReadFailed,     // a session's append: the file's last byte could not be read
  kJournalFailed,  // a session's append: its journal could not record the line
  kWriteFailed,    // the line could not be written
};

// Why an append stopped, in the words of the replies and records that name
// its step.
[[nodiscard]] const char* appendStepText(AppendStep step);

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
