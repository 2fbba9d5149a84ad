// Copying a byte stream without the occurrences of an entry: how `del`
// builds the hosts file's new content from the old.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace varnick {

// Where the rebuild reads from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `capacity` bytes into `buffer` and stores how many arrived in
  // `*count`; 0 means the end of the source. False when the read failed.
  [[nodiscard]] virtual bool read(char* buffer, std::size_t capacity, std::size_t* count) = 0;
};

// Where the rebuild writes to.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all `size` bytes. False when the write failed or wrote fewer.
  [[nodiscard]] virtual bool write(const char* data, std::size_t size) = 0;
};

// Which side of a copy failed; the source and the sink keep why.
enum class CopyFailure { kReadFailed, kWriteFailed };
using CopyResult = Expected<void, CopyFailure>;

// Copies `source` to `sink` in large blocks, leaving out every occurrence of
// `entry`: a byte that breaks a partial match is kept, and so are the bytes
// before it, none of them tried again as the start of an occurrence; the
// byte after a whole occurrence may start the next. With an empty entry
// every byte is kept. Stops at the first failed read or write;
// the sink then holds an unknown prefix of the result.
CopyResult copyWithoutEntry(ByteSource& source, ByteSink& sink, std::string_view entry);

}  // namespace varnick
