#include "hosts/replacement.h"

namespace varnick {

StepResult retryWhileBusy(const std::function<StepResult()>& step, RetryClock& clock) {
  const std::uint64_t deadline = clock.nowMs() + kBusyRetryMs;
  for (;;) {
    StepResult result = step();
    if (result.attempt != Attempt::kBusy || clock.nowMs() >= deadline) return result;
    clock.sleepMs(kBusyPauseMs);
  }
}

CommitResult commitReplacement(ReplacementSteps& steps, RetryClock& clock) {
  if (std::uint32_t error = steps.flushAndClose()) {
    steps.discard();
    return {CommitStage::kFlushFailed, error};
  }
  StepResult swap = retryWhileBusy([&steps] { return steps.swapIn(); }, clock);
  if (swap.attempt == Attempt::kDone) return {};
  steps.discard();
  return {swap.attempt == Attempt::kStale ? CommitStage::kStale : CommitStage::kSwapFailed,
          swap.error};
}

}  // namespace varnick
