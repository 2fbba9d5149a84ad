#include "hosts/in_place_rewrite.h"

#include <gtest/gtest.h>

#include <string>

namespace varnick {
namespace {

TEST(InPlaceState, TellsACutRewriteFromAnotherWriter) {
  const std::string before = "127.0.0.1 localhost\n10.0.0.1 mine.test\n10.0.0.2 other\n";
  const std::string after = "127.0.0.1 localhost\n10.0.0.2 other\n";
  // The first bytes of `after` over `before`, not yet cut to length.
  auto writtenUpTo = [&](std::size_t n) { return after.substr(0, n) + before.substr(n); };
  std::string lastPageOnly = before.substr(0, after.size());
  lastPageOnly.replace(30, after.size() - 30, after.substr(30));
  struct Case {
    const char* name;
    std::string now;
    InPlaceState state;
  };
  const Case cases[] = {
      {"done", after, InPlaceState::kDone},
      {"not started", before, InPlaceState::kCut},
      {"cut in the write", writtenUpTo(25), InPlaceState::kCut},
      {"written, not yet cut to length", writtenUpTo(after.size()), InPlaceState::kCut},
      // The length reached the disk, an early page did not.
      {"cut to length, a page old", lastPageOnly, InPlaceState::kCut},
      {"another program appended since", after + "10.0.0.3 late\n", InPlaceState::kChanged},
      {"another program wrote it anew, as long", std::string(after.size(), 'x'),
       InPlaceState::kChanged},
      {"emptied", "", InPlaceState::kChanged},
  };
  for (const Case& c : cases)
    EXPECT_EQ(inPlaceState(before, after, c.now), c.state) << c.name;
}

}  // namespace
}  // namespace varnick
