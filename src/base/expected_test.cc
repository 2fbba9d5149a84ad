#include "base/expected.h"

#include <gtest/gtest.h>

#include <string>

namespace varnick {
namespace {

enum class Step { kOpen, kWrite };

Expected<int, StepFailure<Step>> rounds(bool fail) {
  if (fail) return failedAt(Step::kWrite, 5, L"hosts");
  return 3;
}

TEST(Expected, HoldsTheValueOrTheStepThatFailed) {
  Expected<int, StepFailure<Step>> done = rounds(false);
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(*done, 3);
  Expected<int, StepFailure<Step>> failed = rounds(true);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().step, Step::kWrite);
  EXPECT_EQ(failed.error().code, 5u);
  EXPECT_EQ(failed.error().path, L"hosts");
}

TEST(Expected, AValueAndAnErrorOfTheSameTypeAreNeverTakenForEachOther) {
  Expected<unsigned, unsigned> value = 5u;
  Expected<unsigned, unsigned> error = unexpected(5u);
  EXPECT_TRUE(value.ok());
  EXPECT_FALSE(error.ok());
  EXPECT_EQ(error.error(), 5u);
  Expected<void, std::string> done;
  Expected<void, std::string> refused = unexpected(std::string("no"));
  EXPECT_TRUE(done.ok());
  EXPECT_EQ(refused.error(), "no");
}

TEST(Expected, ASystemResultIsDoneOnlyForCodeZero) {
  // A code of another integer type, as the system's DWORD is, converts.
  SystemResult failed = unexpected(5ul);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), 5u);
  EXPECT_EQ(errorCodeOf(failed), 5u);
  EXPECT_TRUE(systemResult(0).ok());
  EXPECT_EQ(errorCodeOf(systemResult(0)), 0u);
  EXPECT_EQ(systemResult(32).error(), 32u);
}

#ifndef NDEBUG
// Named, so that the death tests' macros see no comma in a type.
using Rounds = Expected<int, StepFailure<Step>>;
using Text = Expected<std::string, int>;

TEST(ExpectedDeathTest, AResultNobodyLookedAtEndsTheProgram) {
  EXPECT_DEATH({ SystemResult dropped = systemResult(5); }, "Expected dropped: a failure");
  EXPECT_DEATH({ Rounds dropped = rounds(true); }, "Expected dropped: a failure");
  // Assigned over before anyone looked.
  EXPECT_DEATH(
      {
        SystemResult result = systemResult(5);
        result = systemResult(0);
        result.ignore();
      },
      "Expected dropped: a failure");
  // A copy is a result of its own, unlooked-at.
  EXPECT_DEATH(
      {
        SystemResult result = systemResult(5);
        ASSERT_FALSE(result);
        SystemResult copy = result;
      },
      "Expected dropped: a failure");
  // The result that another moved to must be looked at in its turn.
  EXPECT_DEATH(
      {
        Text result = unexpected(2);
        Text moved = std::move(result);
      },
      "Expected dropped: a failure");
}

TEST(ExpectedDeathTest, AFailureLookedAtInAnyWayAndAnUnlookedSuccessEndQuietly) {
  { Rounds done = rounds(false); }
  {
    SystemResult done;
    done = systemResult(0);
  }
  { EXPECT_FALSE(systemResult(5).ok()); }
  { EXPECT_FALSE(systemResult(5)); }
  { EXPECT_EQ(systemResult(5).error(), 5u); }
  { EXPECT_EQ(errorCodeOf(systemResult(5)), 5u); }
  { systemResult(5).ignore(); }
  { EXPECT_EQ(rounds(false).value(), 3); }
  { EXPECT_EQ(*rounds(false), 3); }
  {
    Text text = std::string("hosts");
    EXPECT_EQ(text->size(), 5u);
  }
  {
    // A moved-from result counts as looked at: the new holder answers for it.
    Text result = unexpected(2);
    Text moved = std::move(result);
    EXPECT_EQ(moved.error(), 2);
  }
}
#endif

}  // namespace
}  // namespace varnick
