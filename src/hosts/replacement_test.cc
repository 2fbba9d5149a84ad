#include "hosts/replacement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace varnick {
namespace {

constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kDiskFull = 112;

// The stage a result stopped at, none when done, and its error code.
template <typename Stage>
std::optional<Stage> stageOf(const Expected<void, StepFailure<Stage>>& result) {
  if (result) return std::nullopt;
  return result.error().step;
}
template <typename Stage>
std::uint32_t codeOf(const Expected<void, StepFailure<Stage>>& result) {
  return result ? 0 : result.error().code;
}

class ScriptedClock final : public RetryClock {
 public:
  std::uint64_t nowMs() override { return now_; }
  void sleepMs(std::uint32_t ms) override { now_ += ms; }
  std::uint64_t now_ = 1000;
};

// Records the order of the steps; each swap attempt takes the next scripted
// result, and the last one repeats.
class ScriptedSteps final : public ReplacementSteps {
 public:
  SystemResult flushAndClose() override { return systemResult(log("flush", flushError)); }
  StepResult swapIn() override {
    calls.push_back("swap");
    StepResult result = swaps[std::min(nextSwap_, swaps.size() - 1)];
    ++nextSwap_;
    return result;
  }
  void discard() override { calls.push_back("discard"); }

  std::uint32_t flushError = 0;
  std::vector<StepResult> swaps{StepResult{}};
  std::vector<std::string> calls;

 private:
  std::uint32_t log(const char* call, std::uint32_t error) {
    calls.push_back(call);
    return error;
  }
  std::size_t nextSwap_ = 0;
};

// Made afresh at each use: a failure kept for the program's life would end
// it unlooked-at in a debug build when no test copied it.
StepResult busy() { return failedAt(Attempt::kBusy, kSharingViolation); }

struct Case {
  const char* name;
  std::uint32_t flushError;
  std::vector<StepResult> swaps;
  std::vector<std::string> calls;
  std::optional<CommitStage> stage;  // none: done
  std::uint32_t error;
};

TEST(CommitReplacement, FlushesFirstAndLeavesTheHostsFileAloneOnAnyFailure) {
  const Case cases[] = {
      {"swapped at once", 0, {{}}, {"flush", "swap"}, std::nullopt, 0},
      // Nothing reaches the hosts file without a good flush.
      {"flush fails", kDiskFull, {{}}, {"flush", "discard"}, CommitStage::kFlushFailed, kDiskFull},
      {"busy, then swapped",
       0,
       {busy(), busy(), {}},
       {"flush", "swap", "swap", "swap"},
       std::nullopt,
       0},
      {"fails outright, no retry",
       0,
       {failedAt(Attempt::kFailed, 1307)},
       {"flush", "swap", "discard"},
       CommitStage::kSwapFailed,
       1307},
      // Someone wrote to the hosts file while it was busy: start over.
      {"stale after a busy try",
       0,
       {busy(), failedAt(Attempt::kStale, 0)},
       {"flush", "swap", "swap", "discard"},
       CommitStage::kStale,
       0},
  };
  for (const Case& c : cases) {
    ScriptedSteps steps;
    steps.flushError = c.flushError;
    steps.swaps = c.swaps;
    ScriptedClock clock;
    CommitResult result = commitReplacement(steps, clock);
    EXPECT_EQ(steps.calls, c.calls) << c.name;
    EXPECT_EQ(stageOf(result), c.stage) << c.name;
    EXPECT_EQ(codeOf(result), c.error) << c.name;
  }
}

TEST(CommitReplacement, GivesUpOnABusyHostsFileAfterTheBoundedRetry) {
  ScriptedSteps steps;
  steps.swaps = {busy()};
  ScriptedClock clock;
  const std::uint64_t start = clock.now_;
  CommitResult result = commitReplacement(steps, clock);
  EXPECT_EQ(stageOf(result), CommitStage::kSwapFailed);
  EXPECT_EQ(codeOf(result), kSharingViolation);
  EXPECT_EQ(steps.calls.back(), "discard");
  // Tried right up to the limit, and no longer.
  EXPECT_EQ(clock.now_ - start, kBusyRetryMs);
  EXPECT_EQ(std::count(steps.calls.begin(), steps.calls.end(), "swap"),
            kBusyRetryMs / kBusyPauseMs + 1);
}

// A restore whose lock, backup and swap are each busy for a scripted time
// (busy for ever with kForever), or fail outright.
constexpr std::uint64_t kForever = ~std::uint64_t{0};

class ScriptedRestore final : public RestoreSteps {
 public:
  ScriptedRestore(ScriptedClock& clock, std::uint64_t lockBusyMs, std::uint64_t hostsBusyMs,
                  const StepResult& swapFailure)
      : clock_(clock),
        lockFreeAt_(add(lockBusyMs)),
        hostsFreeAt_(add(hostsBusyMs)),
        swapFailure_(swapFailure) {}

  StepResult takeWriteLock() override {
    if (clock_.now_ < lockFreeAt_) return failedAt(Attempt::kBusy, kSharingViolation);
    return {};
  }
  StepResult copyBackup() override { return {}; }
  SystemResult flushAndClose() override { return {}; }
  StepResult swapIn() override {
    if (clock_.now_ < hostsFreeAt_) return failedAt(Attempt::kBusy, 5u);
    return swapFailure_;
  }
  void discard() override { discarded = true; }

  bool discarded = false;

 private:
  std::uint64_t add(std::uint64_t ms) const { return ms == kForever ? kForever : clock_.now_ + ms; }

  ScriptedClock& clock_;
  std::uint64_t lockFreeAt_;
  std::uint64_t hostsFreeAt_;
  StepResult swapFailure_;
};

struct RestoreCase {
  const char* name;
  std::uint64_t lockBusyMs;
  std::uint64_t hostsBusyMs;
  StepResult swap;
  std::optional<RestoreStage> stage;  // none: done
  std::uint32_t error;
  std::vector<RestoreWait> waits;  // each reported once, in this order
};

TEST(RebuildInRounds, StartsOverOnlyWhileTheHostsFileKeptChanging) {
  struct Case {
    std::vector<Round> rounds;  // what each round finds, in turn
    Round result;
    std::size_t run;
  };
  const Case cases[] = {
      {{Round::kDone}, Round::kDone, 1},
      {{Round::kStale, Round::kStale, Round::kDone}, Round::kDone, 3},
      {{Round::kStale, Round::kFailed, Round::kDone}, Round::kFailed, 2},
      // Kept changing: five rounds and no more.
      {std::vector<Round>(7, Round::kStale), Round::kStale, kRebuildRounds},
  };
  for (const Case& c : cases) {
    std::size_t run = 0;
    EXPECT_EQ(rebuildInRounds([&] { return c.rounds[run++]; }), c.result);
    EXPECT_EQ(run, c.run);
  }
}

TEST(RestoreWithin, WaitsOutAnotherWriterAndAReaderButNotAFailure) {
  constexpr std::uint32_t kBound = 60000;
  const RestoreCase cases[] = {
      {"nothing in the way", 0, 0, {}, std::nullopt, 0, {}},
      {"a del that takes 25 s", 25000, 0, {}, std::nullopt, 0, {RestoreWait::kWriteLock}},
      {"a reader for 40 s after a writer for 15 s",
       15000,
       55000,
       {},
       std::nullopt,
       0,
       {RestoreWait::kWriteLock, RestoreWait::kHostsFileHeld}},
      {"the lock never comes free",
       kForever,
       0,
       {},
       RestoreStage::kLockFailed,
       kSharingViolation,
       {RestoreWait::kWriteLock}},
      {"the reader never lets go",
       0,
       kForever,
       {},
       RestoreStage::kSwapFailed,
       5,
       {RestoreWait::kHostsFileHeld}},
      // A folder where the hosts file was: no waiting cures that.
      {"fails outright", 0, 0, failedAt(Attempt::kFailed, 336), RestoreStage::kSwapFailed, 336, {}},
  };
  for (const RestoreCase& c : cases) {
    ScriptedClock clock;
    const std::uint64_t start = clock.now_;
    ScriptedRestore steps(clock, c.lockBusyMs, c.hostsBusyMs, c.swap);
    std::vector<RestoreWait> waits;
    RestoreResult result = restoreWithin(
        steps, clock, kBound, [&waits](RestoreWait wait, std::uint32_t) { waits.push_back(wait); });
    EXPECT_EQ(stageOf(result), c.stage) << c.name;
    EXPECT_EQ(codeOf(result), c.error) << c.name;
    EXPECT_EQ(waits, c.waits) << c.name;
    EXPECT_EQ(steps.discarded, c.stage == RestoreStage::kSwapFailed) << c.name;
    // Whatever stood in the way, the whole restore kept within its bound
    // (the swap's usual retry aside).
    EXPECT_LE(clock.now_ - start, kBound + kBusyRetryMs) << c.name;
    if (c.stage == RestoreStage::kSwapFailed && c.hostsBusyMs == 0) {
      EXPECT_EQ(clock.now_, start) << c.name << ": gave up without waiting";
    }
  }
}

}  // namespace
}  // namespace varnick
