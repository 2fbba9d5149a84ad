// Copying a byte stream without the occurrences of an entry: how `del`
// builds the hosts file's new content from the old.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

enum class CopyStatus { kDone, kReadFailed, kWriteFailed };

// One matching step. `position` entry bytes have been read just before `c`
// and held back. Appends to `out` what is to be kept and returns how many
// entry bytes are held back after `c`:
// - `c` continues the match: nothing is kept; a completed occurrence is
//   dropped and the byte after it may start a further one (returns 0).
// - `c` breaks the match: the held-back bytes are kept in their places, then
//   `c`, which is not tried as the start of an occurrence.
// With an empty entry every byte is kept.
std::size_t matchEntryAt(char c, std::size_t position, std::string_view entry, std::string& out);

// At the end of the source: keeps the `position` bytes of an unfinished match.
void finishMatch(std::size_t position, std::string_view entry, std::string& out);

// Copies `source` to `sink` in large blocks, leaving out every occurrence of
// `entry` as matchEntryAt decides. Stops at the first failed read or write;
// the sink then holds an unknown prefix of the result.
[[nodiscard]] CopyStatus copyWithoutEntry(ByteSource& source, ByteSink& sink,
                                          std::string_view entry);

}  // namespace varnick
