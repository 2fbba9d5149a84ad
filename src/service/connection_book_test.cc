#include "service/connection_book.h"

#include <gtest/gtest.h>

#include <set>

namespace varnick {
namespace {

TEST(ConnectionBook, AFloodDisplacesItsOwnSilentConnectionsNeverOthersEntries) {
  ConnectionBook book({/*perUser=*/2, /*inAll=*/4});
  std::set<std::uint64_t> holding;
  const auto holds = [&holding](std::uint64_t id) { return holding.count(id) != 0; };
  struct Step {
    std::uint64_t id;
    const char* user;
    bool admitted;
    std::optional<std::uint64_t> displaced;
  } steps[] = {
      {1, "ann", true, {}},
      {2, "ann", true, {}},
      // Over ann's bound: her oldest silent connection gives way.
      {3, "ann", true, 1},
      {4, "bob", true, {}},
      {5, "eve", true, {}},
      // Over the bound in all: a connection of a user with the most goes.
      {6, "cid", true, 2},
  };
  for (const Step& step : steps) {
    const ConnectionBook::Admission admission = book.admit(step.id, step.user, holds);
    EXPECT_EQ(admission.admitted, step.admitted) << step.id;
    EXPECT_EQ(admission.displaced, step.displaced) << step.id;
  }
  // Once every connection in the way holds entries, a new one is turned
  // away rather than taking anyone's place.
  holding = {3, 4, 5, 6};
  EXPECT_FALSE(book.admit(7, "ann", holds).admitted);
  EXPECT_FALSE(book.admit(8, "dan", holds).admitted);
  book.remove(4);
  EXPECT_TRUE(book.admit(9, "dan", holds).admitted);
  EXPECT_EQ(book.size(), 4u);
}

}  // namespace
}  // namespace varnick
