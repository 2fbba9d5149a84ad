#include "hosts/entry_matcher.h"

#include <cstring>

namespace varnick {
namespace {

// Large enough that a hosts file of a few megabytes takes a handful of reads
// and writes, small enough that memory stays flat whatever the file's size.
constexpr std::size_t kBlockSize = std::size_t{1} << 18;

// Runs one block of the source through the matcher, carrying `position`
// across blocks so that an occurrence may straddle two reads.
void filterBlock(const char* data, std::size_t count, std::string_view entry,
                 std::size_t& position, std::string& out) {
  if (entry.empty()) {
    out.append(data, count);
    return;
  }
  const char* next = data;
  const char* end = data + count;
  // Bytes from `kept` up to `next` stay; they are appended in one go when an
  // occurrence or the end of the block interrupts them.
  const char* kept = data;
  while (next != end) {
    if (position == 0) {
      // Outside a match only the entry's first byte matters.
      const void* hit = std::memchr(next, entry[0], static_cast<std::size_t>(end - next));
      if (!hit) {
        next = end;
        break;
      }
      next = static_cast<const char*>(hit);
      if (static_cast<std::size_t>(end - next) >= entry.size()) {
        // The whole entry's length is at hand: settle the match in one go,
        // with the same outcome as stepping through it byte by byte.
        std::size_t same = 1;
        while (same < entry.size() && next[same] == entry[same]) ++same;
        if (same == entry.size()) {
          out.append(kept, next);
          next += same;
          kept = next;
        } else {
          // The broken match and the byte that broke it stay, untried.
          next += same + 1;
        }
        continue;
      }
    }
    // A match that may run past the end of the block: step byte by byte.
    out.append(kept, next);
    position = matchEntryAt(*next++, position, entry, out);
    kept = next;
  }
  out.append(kept, next);
}

}  // namespace

std::size_t matchEntryAt(char c, std::size_t position, std::string_view entry, std::string& out) {
  if (position < entry.size() && c == entry[position]) {
    ++position;
    return position == entry.size() ? 0 : position;
  }
  out.append(entry.data(), position);
  out.push_back(c);
  return 0;
}

void finishMatch(std::size_t position, std::string_view entry, std::string& out) {
  out.append(entry.data(), position);
}

CopyStatus copyWithoutEntry(ByteSource& source, ByteSink& sink, std::string_view entry) {
  std::string block(kBlockSize, '\0');
  std::string out;
  out.reserve(kBlockSize + entry.size());
  std::size_t position = 0;
  for (;;) {
    std::size_t count = 0;
    if (!source.read(block.data(), block.size(), &count)) return CopyStatus::kReadFailed;
    if (count == 0) break;
    filterBlock(block.data(), count, entry, position, out);
    if (!out.empty() && !sink.write(out.data(), out.size())) return CopyStatus::kWriteFailed;
    out.clear();
  }
  finishMatch(position, entry, out);
  if (!out.empty() && !sink.write(out.data(), out.size())) return CopyStatus::kWriteFailed;
  return CopyStatus::kDone;
}

}  // namespace varnick
