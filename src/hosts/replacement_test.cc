#include "hosts/replacement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace varnick {
namespace {

constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kMovedAside = 1177;

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
    StepResult result = swaps[std::min(nextSwap, swaps.size() - 1)];
    ++nextSwap;
    return result;
  }
  std::uint32_t moveNewIn() override { return log("moveNewIn", moveNewError); }
  std::uint32_t moveOldBack() override { return log("moveOldBack", 0); }
  void discard() override { calls.push_back("discard"); }

  std::uint32_t flushError = 0;
  std::uint32_t moveNewError = 0;
  std::vector<StepResult> swaps{StepResult{}};
  std::vector<std::string> calls;

 private:
  std::uint32_t log(const char* call, std::uint32_t error) {
    calls.push_back(call);
    return error;
  }
  std::size_t nextSwap = 0;
};

const StepResult kBusy{Attempt::kBusy, kSharingViolation};

struct Case {
  const char* name;
  std::uint32_t flushError;
  std::vector<StepResult> swaps;
  std::uint32_t moveNewError;
  std::vector<std::string> calls;
  CommitStage stage;
  std::uint32_t error;
};

TEST(CommitReplacement, FlushesFirstAndLeavesTheHostsFileAloneOnAnyFailure) {
  const Case cases[] = {
      {"swapped at once", 0, {{}}, 0, {"flush", "swap"}, CommitStage::kDone, 0},
      // Nothing reaches the hosts file without a good flush.
      {"flush fails", kDiskFull, {{}}, 0, {"flush", "discard"}, CommitStage::kFlushFailed, kDiskFull},
      {"busy, then swapped", 0, {kBusy, kBusy, {}}, 0, {"flush", "swap", "swap", "swap"},
       CommitStage::kDone, 0},
      {"fails outright, no retry", 0, {{Attempt::kFailed, 5}}, 0, {"flush", "swap", "discard"},
       CommitStage::kSwapFailed, 5},
      // The old file is aside: the new one goes to the hosts file's name...
      {"moved aside, new moved in", 0, {{Attempt::kHostsMovedAside, kMovedAside}}, 0,
       {"flush", "swap", "moveNewIn"}, CommitStage::kDone, 0},
      // ...or, failing that, the old one goes back.
      {"moved aside, old moved back", 0, {{Attempt::kHostsMovedAside, kMovedAside}}, 5,
       {"flush", "swap", "moveNewIn", "moveOldBack", "discard"}, CommitStage::kSwapFailed,
       kMovedAside},
  };
  for (const Case& c : cases) {
    ScriptedSteps steps;
    steps.flushError = c.flushError;
    steps.swaps = c.swaps;
    steps.moveNewError = c.moveNewError;
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
