#include "control/frames.h"

#include <gtest/gtest.h>

#include <cstring>

#include "link/request.h"
#include "link/wire_format.h"

namespace varnick::control {
namespace {

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
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

// What the controller sends must be what the server reads: every frame goes
// through the server's own decoding.
Request decodeFrame(const std::string& frame) {
  std::uint32_t length = readBigEndian32(reinterpret_cast<const std::uint8_t*>(frame.data()));
  EXPECT_EQ(length, frame.size() - kLengthFieldSize);
  PacketBuffer body(length);
  std::memcpy(body.data(), frame.data() + kLengthFieldSize, length);
  return decodeRequest(body);
}

TEST(Frames, ServerDecodesWhatTheControllerSends) {
  for (const std::string& entry : {std::string("10.0.0.1 a.test"), std::string(), std::string(254, 'e')}) {
    Request add = decodeFrame(*addRequest(entry));
    EXPECT_EQ(add.kind, RequestKind::kAdd);
    EXPECT_EQ(add.entry, entry);
  }
  EXPECT_EQ(decodeFrame(removeRequest()).kind, RequestKind::kRemove);
  EXPECT_EQ(decodeFrame(shutdownRequest()).kind, RequestKind::kShutdown);
}

}  // namespace
}  // namespace varnick::control
