#include "link/wire_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnick {
namespace {

TEST(BigEndian32, MostSignificantByteFirst) {
  const std::pair<std::vector<std::uint8_t>, std::uint32_t> numbers[] = {
      {{0x00, 0x00, 0x01, 0x02}, 258u},       {{0x01, 0x02, 0x03, 0x04}, 0x01020304u},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu}, {{0x80, 0x00, 0x00, 0x00}, 0x80000000u},
      {{0x00, 0x00, 0x00, 0x00}, 0u},          {{0x00, 0x00, 0x00, 0x80}, 0x80u}};
  for (const auto& [encoded, value] : numbers) EXPECT_EQ(readBigEndian32(encoded.data()), value);
}

}  // namespace
}  // namespace varnick
