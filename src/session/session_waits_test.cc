#include "session/session_waits.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(PatientWait, SlicesStopAtTheNoticeAndTheLimit) {
  // Started at 1000, limit 12 s, notice after 5 s, slices of at most 2 s.
  struct Case {
    std::uint64_t now;
    std::uint64_t slice;
    bool expired;
  };
  const Case cases[] = {
      {1000, 2000, false}, {4500, 1500, false}, {5999, 1, false}, {6000, 2000, false},
      {12500, 500, false}, {12999, 1, false},   {13000, 0, true}, {99999, 0, true},
      {500, 2000, false},  // a clock read before the start counts as the start
  };
  PatientWait wait(1000, 12000, 5000);
  for (const Case& c : cases) {
    EXPECT_EQ(wait.sliceMs(c.now, 2000), c.slice) << c.now;
    EXPECT_EQ(wait.expired(c.now), c.expired) << c.now;
  }
}

TEST(PatientWait, NoticeComesOnceBetweenItsTimeAndTheLimit) {
  PatientWait wait(0, 10000, 5000);
  EXPECT_FALSE(wait.noticeDue(4999));
  EXPECT_TRUE(wait.noticeDue(7000));
  EXPECT_FALSE(wait.noticeDue(8000));

  PatientWait late(0, 10000, 5000);
  EXPECT_FALSE(late.noticeDue(10000));  // the limit passed first: nothing to announce
}

}  // namespace
}  // namespace varnick::control
