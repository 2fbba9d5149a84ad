#include "link/packet_buffer.h"

#include <cstdlib>
#include <utility>

#include "link/wire_format.h"

namespace varnick {
namespace {

void* zeroFilledBlock(std::size_t size) {
  // calloc rather than new + fill: a large block comes back as fresh zero
  // pages instead of being written through byte by byte.
  return std::calloc(size, 1);
}

detail::BlockAllocator blockAllocator = zeroFilledBlock;

}  // namespace

void PacketBuffer::FreeBlock::operator()(std::uint8_t* block) const { std::free(block); }

PacketBuffer::PacketBuffer(std::uint32_t size) : size_(size), remaining_(size) {
  // An empty body still gets a block of its own, so a null block always
  // means that the allocation failed.
  void* block = blockAllocator(size == 0 ? 1 : size);
  if (block == nullptr) {
    release();
    return;
  }
  data_.reset(static_cast<std::uint8_t*>(block));
  start_ = data_.get();
}

std::optional<std::int8_t> PacketBuffer::readByte() {
  if (remaining_ < 1) return std::nullopt;
  auto value = static_cast<std::int8_t>(data_[position_]);
  position_ += 1;
  remaining_ -= 1;
  return value;
}

std::optional<std::string> PacketBuffer::readString() {
  if (remaining_ < 4) return std::nullopt;
  std::uint32_t length = readBigEndian32(data_.get() + position_);
  // Compared against what is left after the prefix, so nothing can overflow.
  if (length > remaining_ - 4) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(data_.get() + position_ + 4);
  std::string result(text, length);
  position_ += 4 + length;
  remaining_ -= 4 + length;
  return result;
}

void PacketBuffer::release() {
  data_.reset();
  start_ = nullptr;
  position_ = size_;
  remaining_ = 0;
}

namespace detail {

BlockAllocator setBlockAllocator(BlockAllocator allocator) {
  return std::exchange(blockAllocator, allocator);
}

}  // namespace detail
}  // namespace varnick
