// The buffer that holds the body of one controller request and reads its
// fields from front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace varnick {

// Holds exactly `size` bytes, zero-filled at construction, and reads single
// bytes and length-prefixed strings from them. A read never passes the end of
// the block: when the bytes it needs are not there it reports failure and
// moves nothing. After every read, position() + remaining() == size().
class PacketBuffer {
 public:
  // Allocates and zero-fills a block of `size` bytes. When the block cannot
  // be had, the buffer holds none and reads as empty, as a released one
  // does, and size() still tells what was asked for: the caller decides what
  // a request too large for memory means.
  explicit PacketBuffer(std::uint32_t size);
  PacketBuffer(const PacketBuffer&) = delete;
  PacketBuffer& operator=(const PacketBuffer&) = delete;
  ~PacketBuffer() = default;

  // Whether the block was had and is not yet released.
  bool allocated() const { return data_ != nullptr; }
  // The block, for receiving the body into; null when not allocated().
  std::uint8_t* data() { return data_.get(); }
  std::uint32_t size() const { return size_; }
  std::uint32_t remaining() const { return remaining_; }
  std::uint32_t position() const { return position_; }

  // The next byte as a signed 8-bit value; nothing when no byte is left.
  [[nodiscard]] std::optional<std::int8_t> readByte();

  // A big-endian 32-bit length n and the n bytes after it, zero bytes
  // included; nothing when the prefix or the text does not fit in what is left.
  [[nodiscard]] std::optional<std::string> readString();

  // Frees the block. The buffer then reads as empty.
  void release();

 private:
  struct FreeBlock {
    void operator()(std::uint8_t* block) const;
  };

  std::unique_ptr<std::uint8_t[], FreeBlock> data_;
  std::uint32_t size_;
  std::uint32_t remaining_;
  std::uint32_t position_ = 0;
  std::uint8_t* start_ = nullptr;  // first byte of the block; the reads go by position_
};

namespace detail {
// For the unit tests: the allocator of the zero-filled block (a null result
// stands for no memory). Returns the one it replaces.
using BlockAllocator = void* (*)(std::size_t size);
BlockAllocator setBlockAllocator(BlockAllocator allocator);
}  // namespace detail

}  // namespace varnick
