// Runs the block matcher and the one-byte-at-a-time reference over the same
// input and traps when their results differ.
//
// Input: one byte for the entry's length (0 to 15), one byte for the read
// size, then the entry, then the source.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "hosts/entry_matcher.h"
#include "hosts/entry_matcher_reference.h"

namespace {

class ChunkSource : public varnick::ByteSource {
 public:
  ChunkSource(std::string_view data, std::size_t chunk) : data_(data), chunk_(chunk) {}
  bool read(char* buffer, std::size_t capacity, std::size_t* count) override {
    std::size_t n = std::min({capacity, chunk_, data_.size() - next_});
    std::memcpy(buffer, data_.data() + next_, n);
    next_ += n;
    *count = n;
    return true;
  }

 private:
  std::string_view data_;
  std::size_t chunk_;
  std::size_t next_ = 0;
};

class StringSink : public varnick::ByteSink {
 public:
  bool write(const char* data, std::size_t size) override {
    content.append(data, size);
    return true;
  }
  std::string content;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t entryLength = data[0] % 16;
  // Read sizes from 1 byte up, and now and then unlimited.
  std::size_t chunk = data[1] == 0xff ? SIZE_MAX : 1 + data[1] % 32;
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (rest.size() < entryLength) return 0;
  std::string_view entry = rest.substr(0, entryLength);
  std::string_view source = rest.substr(entryLength);

  ChunkSource in(source, chunk);
  StringSink out;
  if (!varnick::copyWithoutEntry(in, out, entry)) __builtin_trap();
  if (out.content != varnick::reference::removeEntry(source, entry)) __builtin_trap();
  return 0;
}
