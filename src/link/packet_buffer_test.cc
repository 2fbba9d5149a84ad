#include "link/packet_buffer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace varnick {
namespace {

// A buffer holding `bytes`, as the receive loop leaves it.
struct Filled {
  explicit Filled(const std::vector<std::uint8_t>& bytes)
      : buffer(static_cast<std::uint32_t>(bytes.size())) {
    if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
  }
  PacketBuffer buffer;
};

std::vector<std::uint8_t> prefixed(std::uint32_t n, std::size_t textBytes,
                                   std::uint8_t fill = 'x') {
  std::vector<std::uint8_t> bytes = {
      static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
      static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  bytes.insert(bytes.end(), textBytes, fill);
  return bytes;
}

void expectAccounting(const PacketBuffer& b, std::uint32_t position) {
  EXPECT_EQ(b.position(), position);
  EXPECT_EQ(b.remaining(), b.size() - position);
}

TEST(PacketBuffer, LengthPrefixIsBigEndian) {
  Filled f(prefixed(258, 258));
  std::optional<std::string> text = f.buffer.readString();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), 258u);
  expectAccounting(f.buffer, 262);
}

TEST(PacketBuffer, EmptyStringMovesOnByThePrefixOnly) {
  Filled f(prefixed(0, 3));
  EXPECT_EQ(f.buffer.readString(), std::string());
  expectAccounting(f.buffer, 4);
}

TEST(PacketBuffer, TextKeepsZeroBytesAndReadByteIsSigned) {
  Filled f({0x80, 0x00, 0x00, 0x00, 0x03, 'a', 0x00, 'b', 0xFF});
  EXPECT_EQ(f.buffer.readByte(), std::int8_t{-128});
  EXPECT_EQ(f.buffer.readString(), std::string("a\0b", 3));
  EXPECT_EQ(f.buffer.readByte(), std::int8_t{-1});
  expectAccounting(f.buffer, 9);
}

TEST(PacketBuffer, ExactAndLongerBodiesLeaveTheExtraUnread) {
  for (std::size_t extra : {0u, 1u, 7u}) {
    std::vector<std::uint8_t> body = {1};
    std::vector<std::uint8_t> entry = prefixed(5, 5);
    body.insert(body.end(), entry.begin(), entry.end());
    body.insert(body.end(), extra, 0xEE);
    Filled f(body);
    ASSERT_TRUE(f.buffer.readByte());
    ASSERT_TRUE(f.buffer.readString());
    EXPECT_EQ(f.buffer.remaining(), extra);
    expectAccounting(f.buffer, 10);
  }
}

TEST(PacketBuffer, ReadsThatWouldPassTheEndFailAndMoveNothing) {
  // Every body shorter than "prefix n + n bytes", for a few n, and prefixes
  // whose n would overflow a position counter.
  for (std::uint32_t n : {0u, 1u, 9u}) {
    std::vector<std::uint8_t> whole = prefixed(n, n);
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      Filled f(std::vector<std::uint8_t>(whole.begin(),
                                         whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      EXPECT_FALSE(f.buffer.readString()) << "n=" << n << " cut=" << cut;
      expectAccounting(f.buffer, 0);
    }
  }
  for (std::uint32_t n : {0xFFFFFFFFu, 0xFFFFFFFCu, 0x80000000u}) {
    Filled f(prefixed(n, 16));
    EXPECT_FALSE(f.buffer.readString()) << n;
    expectAccounting(f.buffer, 0);
  }
  Filled empty({});
  EXPECT_FALSE(empty.buffer.readByte());
  EXPECT_FALSE(empty.buffer.readString());
  expectAccounting(empty.buffer, 0);
  Filled one({3});
  ASSERT_TRUE(one.buffer.readByte());
  EXPECT_FALSE(one.buffer.readByte());
  expectAccounting(one.buffer, 1);
}

TEST(PacketBuffer, FreshBlockReadsAsZeros) {
  PacketBuffer buffer(64);
  EXPECT_EQ(buffer.readByte(), std::int8_t{0});
  EXPECT_EQ(buffer.readString(), std::string());
  std::vector<std::uint8_t> rest(buffer.data() + buffer.position(), buffer.data() + buffer.size());
  EXPECT_EQ(rest, std::vector<std::uint8_t>(59, 0));
}

TEST(PacketBuffer, ReleasedBufferReadsAsEmpty) {
  Filled f({3, 0, 0, 0, 0});
  f.buffer.release();
  EXPECT_EQ(f.buffer.data(), nullptr);
  EXPECT_FALSE(f.buffer.readByte());
  EXPECT_FALSE(f.buffer.readString());
  expectAccounting(f.buffer, 5);
}

void* noMemory(std::size_t) { return nullptr; }

// A block that cannot be had is a value the caller sees, with the size that
// was asked for, and the buffer reads as empty: nothing ends the process and
// no read reaches the missing block.
TEST(PacketBuffer, FailedAllocationHoldsNoBlockAndKeepsTheSize) {
  const detail::BlockAllocator allocator = detail::setBlockAllocator(noMemory);
  for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u, 1000u, 0u}) {
    PacketBuffer buffer(size);
    EXPECT_FALSE(buffer.allocated()) << size;
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(buffer.size(), size);
    EXPECT_FALSE(buffer.readByte());
    EXPECT_FALSE(buffer.readString());
    expectAccounting(buffer, size);
  }
  detail::setBlockAllocator(allocator);
  PacketBuffer had(7);
  EXPECT_TRUE(had.allocated());
  had.release();
  EXPECT_FALSE(had.allocated());
}

}  // namespace
}  // namespace varnick
