// Putting new content in place of the hosts file in one step, so that at
// every instant the hosts file holds either the whole old content or the
// whole new one. The platform does the file work; the order of the steps,
// the bounded retries and the clean-up after a failure are decided here.
#pragma once

#include <cstdint>
#include <functional>

#include "base/expected.h"

namespace varnick {

// How long a step is tried again while another process holds the hosts file,
// and the pause between two tries.
constexpr std::uint32_t kBusyRetryMs = 2000;
constexpr std::uint32_t kBusyPauseMs = 50;

// How long `add`, `del` and a server's add wait for another Varnick writer
// of the hosts file. A 50 MB rebuild takes a fraction of a second; a del that
// waits out every retry of all its rounds takes about 25 s.
constexpr std::uint32_t kWriteLockWaitMs = 30000;
// How long a restore keeps trying while another Varnick writer or a reader
// holds what it needs: longer than any other writer can take, since giving
// up leaves a session's entries in the hosts file.
constexpr std::uint32_t kRestoreWaitMs = 60000;
// How long a new server waits for the one before it to restore and end.
constexpr std::uint32_t kServingLockWaitMs = 60000;
// The pause between two tries at a lock that another Varnick holds.
constexpr std::uint32_t kLockPauseMs = 10;

// Why one try at a step did not get it done.
enum class Attempt {
  kBusy,    // another process holds the file: worth trying again shortly
  kFailed,  // will not work by waiting
  kStale,   // the hosts file changed since the new content was made from it
};

using StepResult = Expected<void, StepFailure<Attempt>>;

// Whether a try found the file held by another process, and may be made again.
inline bool isBusy(const StepResult& result) {
  return !result && result.error().step == Attempt::kBusy;
}

// The time, and waiting, as the retries see them: the system's clock in the
// program, a scripted one in the tests.
class RetryClock {
 public:
  virtual ~RetryClock() = default;
  virtual std::uint64_t nowMs() = 0;
  virtual void sleepMs(std::uint32_t ms) = 0;
};

// How long a busy step is tried again, and how long to pause between tries.
struct RetryBound {
  std::uint32_t totalMs = kBusyRetryMs;
  std::uint32_t pauseMs = kBusyPauseMs;
};

// Told of the first busy result of a retry, so that a wait is reported once
// rather than on every try.
using BusyNotice = std::function<void(const StepResult&)>;

// Runs `step` until it is done or fails outright, or until it has stayed busy
// for the bound's time. Returns its last result.
StepResult retryWhileBusy(const std::function<StepResult()>& step, RetryClock& clock,
                          RetryBound bound = {}, const BusyNotice& onFirstBusy = nullptr);

// The platform's side of one replacement. The new file has been written in
// full, beside the hosts file, before commitReplacement is called.
class ReplacementSteps {
 public:
  virtual ~ReplacementSteps() = default;
  // Flushes the new file to the disk and closes it.
  virtual SystemResult flushAndClose() = 0;
  // One attempt at swapping the new file in for the hosts file, in one
  // rename: either it happened whole or the hosts file is as it was.
  virtual StepResult swapIn() = 0;
  // Removes the new file; the hosts file is not touched.
  virtual void discard() = 0;
};

enum class CommitStage { kFlushFailed, kSwapFailed, kStale };

using CommitResult = Expected<void, StepFailure<CommitStage>>;

// Flushes the new content, then swaps it in, retrying within `bound` while
// the hosts file is busy. Nothing is swapped in unless the flush succeeded;
// on any failure, and when the new content turned out stale, the new file is
// discarded and the hosts file keeps its old content.
[[nodiscard]] CommitResult commitReplacement(ReplacementSteps& steps, RetryClock& clock,
                                             RetryBound bound = {},
                                             const BusyNotice& onFirstBusy = nullptr);

// How many times a rebuild of the hosts file (del, the end of a session, a
// recovery) starts over when another program wrote to the file in the
// instant between its read and its swap: appends that keep landing there
// are not waited out for ever.
constexpr int kRebuildRounds = 5;

// Its own type rather than an Expected: a stale round is no failure, it starts over.
enum class Round { kDone, kStale, kFailed };

// Runs `round` (read the hosts file, make the new content, swap it in) until
// it is done or fails, at most `rounds` times: kStale when every round found
// the hosts file changed before its swap.
[[nodiscard]] Round rebuildInRounds(const std::function<Round()>& round,
                                    int rounds = kRebuildRounds);

// What a restore can find in its way, each reported once while it waits.
enum class RestoreWait {
  kWriteLock,      // another Varnick is writing the hosts file
  kBackupHeld,     // another process holds the backup
  kHostsFileHeld,  // another process holds the hosts file
};

// The platform's side of putting a backup back in place of the hosts file.
class RestoreSteps : public ReplacementSteps {
 public:
  // One try at the write lock: done, or busy while another Varnick holds it.
  virtual StepResult takeWriteLock() = 0;
  // Writes the backup's content to a new file beside the hosts file.
  virtual StepResult copyBackup() = 0;
};

enum class RestoreStage { kLockFailed, kCopyFailed, kFlushFailed, kSwapFailed };

using RestoreResult = Expected<void, StepFailure<RestoreStage>>;

// Takes the write lock, copies the backup and swaps it in, waiting up to
// `boundMs` in all while another Varnick or another process stands in the
// way, and telling `waiting` of each kind of wait the first time it meets
// it. A step that fails for a reason waiting cannot cure ends it at once.
[[nodiscard]] RestoreResult restoreWithin(
    RestoreSteps& steps, RetryClock& clock, std::uint32_t boundMs,
    const std::function<void(RestoreWait, std::uint32_t)>& waiting);

}  // namespace varnick
