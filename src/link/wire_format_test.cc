#include "link/wire_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnick {
namespace {

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

TEST(BigEndian32, ReadAndAppendAgreeOnByteOrder) {
  const std::pair<std::vector<std::uint8_t>, std::uint32_t> numbers[] = {
      {{0x00, 0x00, 0x01, 0x02}, 258u},        {{0x01, 0x02, 0x03, 0x04}, 0x01020304u},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu}, {{0x80, 0x00, 0x00, 0x00}, 0x80000000u},
      {{0x00, 0x00, 0x00, 0x00}, 0u},          {{0x00, 0x00, 0x00, 0x80}, 0x80u}};
  for (const auto& [encoded, value] : numbers) {
    EXPECT_EQ(readBigEndian32(encoded.data()), value);
    std::string out = "x";
    appendBigEndian32(out, value);
    EXPECT_EQ(out, "x" + std::string(encoded.begin(), encoded.end())) << value;
  }
}

TEST(Frames, ShutdownAndRemoveAreOneByteBodies) {
  EXPECT_EQ(shutdownRequest(), bytes({0x00, 0x00, 0x00, 0x01, 0x03}));
  EXPECT_EQ(removeRequest(), bytes({0x00, 0x00, 0x00, 0x01, 0x02}));
}

TEST(Frames, AddCarriesBigEndianLengthsAndRawBytes) {
  struct Case {
    std::string entry;
    std::string header;
  };
  const Case cases[] = {
      {"localhost", bytes({0x00, 0x00, 0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x09})},
      {"", bytes({0x00, 0x00, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00})},
      {std::string("a\0b", 3), bytes({0x00, 0x00, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00, 0x03})},
      {std::string(258, 'x'), bytes({0x00, 0x00, 0x01, 0x07, 0x01, 0x00, 0x00, 0x01, 0x02})},
      {std::string(70000, '\xff'), bytes({0x00, 0x01, 0x11, 0x75, 0x01, 0x00, 0x01, 0x11, 0x70})},
  };
  for (const Case& c : cases) {
    std::optional<std::string> frame = addRequest(c.entry);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->substr(0, 9), c.header) << c.entry.size();
    EXPECT_EQ(frame->substr(9), c.entry);
  }
}

TEST(Frames, OnlyZeroAndOneAreReplies) {
  EXPECT_EQ(decodeReply(0), Reply::kSuccess);
  EXPECT_EQ(decodeReply(1), Reply::kFailure);
  for (int byte : {2, 3, 0x30, 0x7F, 0x80, 0xFF}) {
    EXPECT_FALSE(decodeReply(static_cast<std::uint8_t>(byte)).has_value()) << byte;
  }
}

}  // namespace
}  // namespace varnick
