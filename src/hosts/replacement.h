// Putting new content in place of the hosts file in one step, so that at
// every instant the hosts file holds either the whole old content or the
// whole new one. The platform does the file work; the order of the steps,
// the bounded retries and the clean-up after a failure are decided here.
#pragma once

#include <cstdint>
#include <functional>

namespace varnick {

// How long a step is tried again while another process holds the hosts file,
// and the pause between two tries.
constexpr std::uint32_t kBusyRetryMs = 2000;
constexpr std::uint32_t kBusyPauseMs = 50;

enum class Attempt {
  kDone,
  kBusy,    // another process holds the file: worth trying again shortly
  kFailed,  // will not work by waiting
  kStale,   // the hosts file changed since the new content was made from it
};

struct StepResult {
  Attempt attempt = Attempt::kDone;
  std::uint32_t error = 0;  // the platform's error code when not done
};

// The time, and waiting, as the retries see them: the system's clock in the
// program, a scripted one in the tests.
class RetryClock {
 public:
  virtual ~RetryClock() = default;
  virtual std::uint64_t nowMs() = 0;
  virtual void sleepMs(std::uint32_t ms) = 0;
};

// Runs `step` until it is done or fails outright, or until it has stayed busy
// for kBusyRetryMs. Returns its last result.
StepResult retryWhileBusy(const std::function<StepResult()>& step, RetryClock& clock);

// The platform's side of one replacement. The new file has been written in
// full, beside the hosts file, before commitReplacement is called.
class ReplacementSteps {
 public:
  virtual ~ReplacementSteps() = default;
  // Flushes the new file to the disk and closes it: 0 or the error code.
  virtual std::uint32_t flushAndClose() = 0;
  // One attempt at swapping the new file in for the hosts file, in one
  // rename: either it happened whole or the hosts file is as it was.
  virtual StepResult swapIn() = 0;
  // Removes the new file; the hosts file is not touched.
  virtual void discard() = 0;
};

enum class CommitStage { kDone, kFlushFailed, kSwapFailed, kStale };

struct CommitResult {
  CommitStage stage = CommitStage::kDone;
  std::uint32_t error = 0;
};

// Flushes the new content, then swaps it in, retrying while the hosts file is
// busy. Nothing is swapped in unless the flush succeeded; on any failure, and
// when the new content turned out stale, the new file is discarded and the
// hosts file keeps its old content.
[[nodiscard]] CommitResult commitReplacement(ReplacementSteps& steps, RetryClock& clock);

}  // namespace varnick
