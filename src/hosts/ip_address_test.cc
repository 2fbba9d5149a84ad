#include "hosts/ip_address.h"

#include <gtest/gtest.h>

#include <string>

#include "base/hex_text.h"

namespace varnick {
namespace {

std::string hexOf(const IpAddress& address) {
  std::string text;
  for (std::uint8_t byte : address.bytes)
    text += hexByte(byte, HexCase::kLower);
  return text;
}

// Which texts are addresses is pinned by the entry checks' and the policy's
// tables; these pin where each part's bytes go.
TEST(IpAddress, EachPartLandsInItsBytes) {
  struct Case {
    const char* text;
    IpFamily family;
    const char* hex;
  };
  const Case cases[] = {
      {"192.0.2.255", IpFamily::kIpv4, "c00002ff000000000000000000000000"},
      {"::", IpFamily::kIpv6, "00000000000000000000000000000000"},
      {"1:2::7:8", IpFamily::kIpv6, "00010002000000000000000000070008"},
      {"ABCD:ef01::", IpFamily::kIpv6, "abcdef01000000000000000000000000"},
      {"1:2:3:4:5:6:7::", IpFamily::kIpv6, "00010002000300040005000600070000"},
      {"::ffff:192.0.2.1", IpFamily::kIpv6, "00000000000000000000ffffc0000201"},
      {"1:2:3:4:5:6:1.2.3.4", IpFamily::kIpv6, "00010002000300040005000601020304"},
  };
  for (const Case& c : cases) {
    const std::optional<IpAddress> address = parseIpAddress(c.text);
    ASSERT_TRUE(address.has_value()) << c.text;
    EXPECT_EQ(address->family, c.family) << c.text;
    EXPECT_EQ(hexOf(*address), c.hex) << c.text;
  }
  // A dotted part only last, and only whole.
  for (const char* text : {"1.2.3.4::1", "::1.2.3", "::1.2.3.4.5"})
    EXPECT_FALSE(parseIpAddress(text).has_value()) << text;
}

}  // namespace
}  // namespace varnick
