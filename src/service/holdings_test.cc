#include "service/holdings.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

// Under Wine every process is one user, so what one user may do to
// another's entries is shown here, keyed by user.
TEST(Holdings, UsersKeepTheirNamesTheirQuotaAndTheirOwnList) {
  EntryPolicy policy;
  policy.maxPerConnection = 3;
  policy.maxPerUser = 4;
  policy.maxInAll = 6;
  Holdings holdings(policy);
  const Caller ann{"S-1-5-21-1", "PC\\ann (process 10)", false};
  const Caller bob{"S-1-5-21-2", "PC\\bob (process 20)", false};
  const Caller admin{"S-1-5-21-3", "PC\\admin (process 30)", true};
  struct Step {
    std::uint64_t connection;
    const Caller* caller;
    const char* entry;
    PolicyRule rule;
    const char* detail = "";
  } steps[] = {
      {1, &ann, "127.0.0.1 app.test", PolicyRule::kAllowed},
      // Another user's name, in any case and beside names of its own.
      {2, &bob, "127.0.0.2 other.test APP.test", PolicyRule::kNameHeld,
       "'app.test' is held by another user until its connection ends"},
      {3, &admin, "127.0.0.3 app.test", PolicyRule::kNameHeld,
       "'app.test' is held by PC\\ann (process 10) until its connection ends"},
      // The same user may hold a name twice, on another connection.
      {4, &ann, "127.0.0.1 app.test", PolicyRule::kAllowed},
      {1, &ann, "127.0.0.1 b.test", PolicyRule::kAllowed},
      {1, &ann, "127.0.0.1 c.test", PolicyRule::kAllowed},
      {1, &ann, "127.0.0.1 d.test", PolicyRule::kPerConnection},
      {5, &ann, "127.0.0.1 d.test", PolicyRule::kPerUser,
       "your connections hold 4 entries, as many as one user may"},
      // Refused entries take no place: bob's first name is still free.
      {2, &bob, "127.0.0.2 other.test", PolicyRule::kAllowed},
      {2, &bob, "127.0.0.2 more.test", PolicyRule::kAllowed},
      {3, &admin, "127.0.0.3 last.test", PolicyRule::kInAll},
      {3, &admin, "10.0.0.1 last.test", PolicyRule::kAddress},
  };
  for (const Step& step : steps) {
    const PolicyVerdict verdict = holdings.reserve(step.connection, *step.caller, step.entry);
    EXPECT_EQ(verdict.rule, step.rule) << step.entry << ": " << verdict.detail;
    if (*step.detail) EXPECT_EQ(verdict.detail, step.detail) << step.entry;
  }
  EXPECT_EQ(holdings.listFor(bob),
            "PC\\bob (process 20): 127.0.0.2 other.test, 127.0.0.2 more.test");
  EXPECT_EQ(holdings.listFor(admin),
            "PC\\ann (process 10): 127.0.0.1 app.test, 127.0.0.1 b.test, 127.0.0.1 c.test\n"
            "PC\\bob (process 20): 127.0.0.2 other.test, 127.0.0.2 more.test\n"
            "PC\\ann (process 10): 127.0.0.1 app.test");

  // A name is free once every connection of its user has let it go, and a
  // failed append's place comes back.
  holdings.releaseAll(1);
  EXPECT_EQ(holdings.reserve(2, bob, "127.0.0.2 app.test").rule, PolicyRule::kNameHeld);
  holdings.release(4, "127.0.0.1 app.test");
  EXPECT_EQ(holdings.reserve(2, bob, "127.0.0.2 app.test").rule, PolicyRule::kAllowed);
  EXPECT_EQ(holdings.listFor(ann), "");
}

}  // namespace
}  // namespace varnick
