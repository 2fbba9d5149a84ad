#include "hosts/replacement.h"

namespace varnick {

StepResult retryWhileBusy(const std::function<StepResult()>& step, RetryClock& clock,
                          RetryBound bound, const BusyNotice& onFirstBusy) {
  const std::uint64_t deadline = clock.nowMs() + bound.totalMs;
  bool noticed = false;
  for (;;) {
    StepResult result = step();
    if (!isBusy(result)) return result;
    if (!noticed && onFirstBusy) onFirstBusy(result);
    noticed = true;
    if (clock.nowMs() >= deadline) return result;
    clock.sleepMs(bound.pauseMs);
  }
}

CommitResult commitReplacement(ReplacementSteps& steps, RetryClock& clock, RetryBound bound,
                               const BusyNotice& onFirstBusy) {
  if (SystemResult flushed = steps.flushAndClose(); !flushed) {
    steps.discard();
    return failedAt(CommitStage::kFlushFailed, flushed.error());
  }
  StepResult swap = retryWhileBusy([&steps] { return steps.swapIn(); }, clock, bound, onFirstBusy);
  if (swap) return {};
  steps.discard();
  return failedAt(
      swap.error().step == Attempt::kStale ? CommitStage::kStale : CommitStage::kSwapFailed,
      swap.error().code);
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
      if (waiting) waiting(wait, busy.error().code);
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
  if (!lock) return failedAt(RestoreStage::kLockFailed, lock.error().code);
  StepResult copy = retryWhileBusy([&steps] { return steps.copyBackup(); }, clock,
                                   rest(kBusyPauseMs), notice(RestoreWait::kBackupHeld));
  if (!copy) {
    steps.discard();
    return failedAt(RestoreStage::kCopyFailed, copy.error().code);
  }
  CommitResult commit =
      commitReplacement(steps, clock, rest(kBusyPauseMs), notice(RestoreWait::kHostsFileHeld));
  if (commit) return {};
  if (commit.error().step == CommitStage::kFlushFailed)
    return failedAt(RestoreStage::kFlushFailed, commit.error().code);
  return failedAt(RestoreStage::kSwapFailed, commit.error().code);
}

}  // namespace varnick
