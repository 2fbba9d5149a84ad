#include "hosts/replacement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace varnick {
namespace {

constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kDiskFull = 112;

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
  std::uint32_t flushAndClose() override { return log("flush", flushError); }
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

const StepResult kBusy{Attempt::kBusy, kSharingViolation};

struct Case {
  const char* name;
  std::uint32_t flushError;
  std::vector<StepResult> swaps;
  std::vector<std::string> calls;
  CommitStage stage;
  std::uint32_t error;
};

TEST(CommitReplacement, FlushesFirstAndLeavesTheHostsFileAloneOnAnyFailure) {
  const Case cases[] = {
      {"swapped at once", 0, {{}}, {"flush", "swap"}, CommitStage::kDone, 0},
      // Nothing reaches the hosts file without a good flush.
      {"flush fails", kDiskFull, {{}}, {"flush", "discard"}, CommitStage::kFlushFailed, kDiskFull},
      {"busy, then swapped",
       0,
       {kBusy, kBusy, {}},
       {"flush", "swap", "swap", "swap"},
       CommitStage::kDone,
       0},
      {"fails outright, no retry",
       0,
       {{Attempt::kFailed, 1307}},
       {"flush", "swap", "discard"},
       CommitStage::kSwapFailed,
       1307},
      // Someone wrote to the hosts file while it was busy: start over.
      {"stale after a busy try",
       0,
       {kBusy, {Attempt::kStale, 0}},
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
    EXPECT_EQ(result.stage, c.stage) << c.name;
    EXPECT_EQ(result.error, c.error) << c.name;
  }
}

TEST(CommitReplacement, GivesUpOnABusyHostsFileAfterTheBoundedRetry) {
  ScriptedSteps steps;
  steps.swaps = {kBusy};
  ScriptedClock clock;
  const std::uint64_t start = clock.now_;
  CommitResult result = commitReplacement(steps, clock);
  EXPECT_EQ(result.stage, CommitStage::kSwapFailed);
  EXPECT_EQ(result.error, kSharingViolation);
  EXPECT_EQ(steps.calls.back(), "discard");
  // Tried right up to the limit, and no longer.
  EXPECT_EQ(clock.now_ - start, kBusyRetryMs);
  EXPECT_EQ(std::count(steps.calls.begin(), steps.calls.end(), "swap"),
            kBusyRetryMs / kBusyPauseMs + 1);
}

}  // namespace
}  // namespace varnick
