#include "service/entry_policy.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

TEST(EntryPolicy, OnlyLoopbackUnderReservedNamesAndWithinTheBounds) {
  const EntryPolicy policy;
  EntryPolicy widened;
  widened.nameSuffixes.emplace_back("corp.example");
  widened.addresses.push_back(*parseAddressRange("10.0.0.0/8"));
  struct Case {
    std::string entry;
    PolicyRule rule;
    std::string detail = {};
    std::size_t byConnection = 0;
    std::size_t inAll = 0;
    const EntryPolicy* rules = nullptr;
  } cases[] = {
      {"127.0.0.1 app.test", PolicyRule::kAllowed},
      {"127.5.6.7\ta.b.localhost\tc.test # mine", PolicyRule::kAllowed},
      {"::1 app.test", PolicyRule::kAllowed},
      {"0:0:0:0:0:0:0:1 APP.Test", PolicyRule::kAllowed},
      {"127.0.0.1 localhost", PolicyRule::kAllowed},
      {"10.0.0.1 app.test", PolicyRule::kAddress,
       "'10.0.0.1' is not among the addresses allowed: 127.0.0.0/8, ::1"},
      {"128.0.0.1 app.test", PolicyRule::kAddress},
      {"::ffff:127.0.0.1 app.test", PolicyRule::kAddress},
      {"::2 app.test", PolicyRule::kAddress},
      {"127.0.0.1 bank.example", PolicyRule::kName,
       "'bank.example' is under none of the names allowed: .test, .localhost"},
      // Every name counts, and a suffix is a whole label, not a substring.
      {"127.0.0.1 app.test bank.example", PolicyRule::kName},
      {"127.0.0.1 test.example", PolicyRule::kName},
      {"127.0.0.1 mytest", PolicyRule::kName},
      {"127.0.0.1 a.test # x\r\n10.0.0.1 bank.example", PolicyRule::kNotOneLine},
      {"127.0.0.1 a.test # \x1a", PolicyRule::kNotOneLine},
      {"127.0.0.1", PolicyRule::kNotAHostsLine},
      {"# 127.0.0.1 a.test", PolicyRule::kNotAHostsLine},
      {"127.0.0.1 app.test", PolicyRule::kPerConnection,
       "this connection holds 32 entries, as many as one may", 32, 32},
      {"127.0.0.1 app.test", PolicyRule::kInAll, "the service holds 256 entries, as many as it may",
       0, 256},
      {"10.1.2.3 app.corp.example", PolicyRule::kAllowed, {}, 0, 0, &widened},
      {"10.1.2.3 app.test", PolicyRule::kAllowed, {}, 0, 0, &widened},
      {"11.1.2.3 app.corp.example", PolicyRule::kAddress, {}, 0, 0, &widened},
  };
  for (const Case& c : cases) {
    const PolicyVerdict verdict =
        checkEntry(c.rules ? *c.rules : policy, c.entry, c.byConnection, c.inAll);
    EXPECT_EQ(verdict.rule, c.rule) << c.entry << ": " << verdict.detail;
    if (!c.detail.empty()) EXPECT_EQ(verdict.detail, c.detail) << c.entry;
  }
}

TEST(EntryPolicy, AnAdministratorWidensItWithNamesAndAddressesThatReadAsSuch) {
  std::vector<std::string> refused;
  const EntryPolicy policy = widenedPolicy({{"corp.example", "bad name", "a.test # x"},
                                            {"10.0.0.0/8", "10.0.0.0/40"},
                                            4,
                                            8,
                                            std::nullopt},
                                           refused);
  EXPECT_EQ(refused,
            (std::vector<std::string>{"the name suffix 'bad name'", "the name suffix 'a.test # x'",
                                      "the address range '10.0.0.0/40'"}));
  EXPECT_EQ(policyText(policy),
            "names under .test, .localhost, .corp.example; addresses 127.0.0.0/8, ::1, "
            "10.0.0.0/8; 4 entries a connection, 8 a user, 256 in all");
}

TEST(AddressRange, TakesAnAddressAndAPrefixThatFitsItAndNothingElse) {
  const std::pair<const char*, int> taken[] = {
      {"127.0.0.0/8", 8}, {"::1", 128}, {"10.0.0.1", 32}, {"fe80::/10", 10}, {"::1/128", 128}};
  for (const auto& [text, bits] : taken) {
    std::optional<AddressRange> range = parseAddressRange(text);
    ASSERT_TRUE(range.has_value()) << text;
    EXPECT_EQ(range->prefixBits, bits) << text;
  }
  for (const char* text : {"", "127.0.0.0/33", "::1/129", "1::2::3", "10.0.0.1/08", "10.0.0.256",
                           "010.0.0.1", "::1/", "a.test", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:"})
    EXPECT_FALSE(parseAddressRange(text).has_value()) << text;
}

}  // namespace
}  // namespace varnick
