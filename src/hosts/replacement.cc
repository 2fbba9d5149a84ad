#include "hosts/replacement.h"

namespace varnick {

StepResult retryWhileBusy(const std::function<StepResult()>& step, RetryClock& clock,
                          RetryBound bound, const BusyNotice& onFirstBusy) {
  const std::uint64_t deadline = clock.nowMs() + bound.totalMs;
  bool noticed = false;
  for (;;) {
    StepResult result = step();
    if (result.step != Attempt::kBusy) return result;
    if (!noticed && onFirstBusy) onFirstBusy(result);
    noticed = true;
    if (clock.nowMs() >= deadline) return result;
    clock.sleepMs(bound.pauseMs);
  }
}

CommitResult commitReplacement(ReplacementSteps& steps, RetryClock& clock, RetryBound bound,
                               const BusyNotice& onFirstBusy) {
  if (std::uint32_t error = steps.flushAndClose()) {
    steps.discard();
    return {CommitStage::kFlushFailed, error};
  }
  StepResult swap = retryWhileBusy([&steps] { return steps.swapIn(); }, clock, bound, onFirstBusy);
  if (swap.step == Attempt::kDone) return {};
  steps.discard();
  return {swap.step == Attempt::kStale ? CommitStage::kStale : CommitStage::kSwapFailed,
          swap.error};
}

Round rebuildInRounds(const std::function<Round()>& round, int rounds) {
  Round result = Round::kStale;
  for (int i = 0; i < rounds && result == Round::kStale; ++i)
    result = round();
  return result;
}

RestoreResult restoreWithin(RestoreSteps& steps, RetryClock& clock, std::uint32_t boundMs,
                            const std::function<void(RestoreWait, std::uint32_t)>& waiting) {
  const std::uint64_t deadline = clock.nowMs() + boundMs;
  auto notice = [&waiting](RestoreWait wait) {
    return [&waiting, wait](const StepResult& busy) {
      if (waiting) waiting(wait, busy.error);
    };
  };
  // What is left of the bound, but never less than the usual retry.
  auto rest = [&clock, deadline](std::uint32_t pauseMs) {
    std::uint64_t now = clock.nowMs();
    std::uint64_t left = deadline > now ? deadline - now : 0;
    return RetryBound{static_cast<std::uint32_t>(left < kBusyRetryMs ? kBusyRetryMs : left),
                      pauseMs};
  };
  StepResult lock = retryWhileBusy([&steps] { return steps.takeWriteLock(); }, clock,
                                   {boundMs, kLockPauseMs}, notice(RestoreWait::kWriteLock));
  if (lock.step != Attempt::kDone) return {RestoreStage::kLockFailed, lock.error};
  StepResult copy = retryWhileBusy([&steps] { return steps.copyBackup(); }, clock,
                                   rest(kBusyPauseMs), notice(RestoreWait::kBackupHeld));
  if (copy.step != Attempt::kDone) {
    steps.discard();
    return {RestoreStage::kCopyFailed, copy.error};
  }
  CommitResult commit =
      commitReplacement(steps, clock, rest(kBusyPauseMs), notice(RestoreWait::kHostsFileHeld));
  switch (commit.step) {
    case CommitStage::kDone:
      return {};
    case CommitStage::kFlushFailed:
      return {RestoreStage::kFlushFailed, commit.error};
    case CommitStage::kSwapFailed:
    case CommitStage::kStale:
      break;
  }
  return {RestoreStage::kSwapFailed, commit.error};
}

}  // namespace varnick
