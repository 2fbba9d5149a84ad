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

}  // namespace
}  // namespace varnick
