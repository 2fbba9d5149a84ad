#include "app/port.h"

#include <gtest/gtest.h>

#include <string>

namespace varnick {
namespace {

struct PortCase {
  std::wstring text;
  std::int32_t value;
  bool valid;
};

class ParsePort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ParsePort, ReadsLikeWcstol) {
  const PortCase& c = GetParam();
  EXPECT_EQ(parsePort(c.text.c_str()), c.value);
  EXPECT_EQ(isValidPort(parsePort(c.text.c_str())), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParsePort,
    ::testing::Values(
        PortCase{L"1", 1, true}, PortCase{L"65535", 65535, true}, PortCase{L"0", 0, false},
        PortCase{L"65536", 65536, false}, PortCase{L"-1", -1, false}, PortCase{L"abc", 0, false},
        PortCase{L"", 0, false}, PortCase{L"80abc", 80, true}, PortCase{L" \t+8080", 8080, true},
        PortCase{L"- 5", 0, false}, PortCase{L"+", 0, false}, PortCase{L"0080", 80, true},
        PortCase{L"2147483647", 2147483647, false}, PortCase{L"2147483648", 2147483647, false},
        PortCase{L"99999999999999999999999", 2147483647, false},
        PortCase{L"-2147483648", -2147483647 - 1, false},
        PortCase{L"-99999999999999999999", -2147483647 - 1, false},
        // 2^32 + 80 must not wrap around to a valid port.
        PortCase{L"4294967376", 2147483647, false}));

}  // namespace
}  // namespace varnick
