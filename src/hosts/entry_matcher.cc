#include "hosts/entry_matcher.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace varnick {
namespace {

// One matching step. `position` entry bytes have been read just before `c`
// and held back. Appends to `out` what is to be kept and returns how many
// entry bytes are held back after `c`: a byte that continues the match keeps
// nothing (a completed occurrence is dropped, and the byte after it may start
// a further one); a byte that breaks it keeps the held-back bytes in their
// places, then itself, untried as the start of an occurrence.
std::size_t matchEntryAt(char c, std::size_t position, std::string_view entry, std::string& out) {
  if (position < entry.size() && c == entry[position]) {
    ++position;
    return position == entry.size() ? 0 : position;
  }
  out.append(entry.data(), position);
  out.push_back(c);
  return 0;
}

// At the end of the source: keeps the `position` bytes of an unfinished match.
void finishMatch(std::size_t position, std::string_view entry, std::string& out) {
  out.append(entry.data(), position);
}

// Large enough that a hosts file of a few megabytes takes a handful of reads
// and writes, small enough that memory stays flat whatever the file's size.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;

unsigned lowestBit(unsigned mask) {
#if defined(_MSC_VER)
  unsigned long index = 0;
  _BitScanForward(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

// How many bytes at `text` agree with the entry from its start; `text` holds
// at least the entry's length. Compares eight bytes at a time: in a hosts
// file many lines begin alike, and a match often breaks only after a dozen.
std::size_t matchingPrefix(const char* text, std::string_view entry) {
  std::size_t same = 0;
  for (; same + 8 <= entry.size(); same += 8) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, text + same, 8);
    std::memcpy(&b, entry.data() + same, 8);
    if (a != b) break;
  }
  while (same < entry.size() && text[same] == entry[same])
    ++same;
  return same;
}

// The first whole occurrence of `entry` (not empty) in [from, end), or `end`.
// Most of a hosts file holds no occurrence, so this is where the time goes:
// with SSE2 it tests sixteen places at once on their first, middle and last
// bytes, and compares the whole entry only where all three agree.
const char* findOccurrence(const char* from, const char* end, std::string_view entry) {
  const std::size_t n = entry.size();
  if (static_cast<std::size_t>(end - from) < n) return end;
  const char* last = end - n;  // the last place an occurrence can start
  const char* at = from;
#if defined(__SSE2__) || defined(_M_X64)
  const std::size_t mid = n / 2;
  const __m128i first = _mm_set1_epi8(entry[0]);
  const __m128i middle = _mm_set1_epi8(entry[mid]);
  const __m128i final = _mm_set1_epi8(entry[n - 1]);
  for (; last - at >= 15; at += 16) {
    auto load = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i agree = _mm_and_si128(_mm_cmpeq_epi8(load(at), first),
                                  _mm_and_si128(_mm_cmpeq_epi8(load(at + mid), middle),
                                                _mm_cmpeq_epi8(load(at + n - 1), final)));
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(agree)); mask != 0;
         mask &= mask - 1) {
      const char* candidate = at + lowestBit(mask);
      if (std::memcmp(candidate, entry.data(), n) == 0) return candidate;
    }
  }
#endif
  for (; at <= last; ++at) {
    at = static_cast<const char*>(
        std::memchr(at, entry[0], static_cast<std::size_t>(last - at) + 1));
    if (at == nullptr) return end;
    if (std::memcmp(at, entry.data(), n) == 0) return at;
  }
  return end;
}

// Whether a match can be under way across the place after `c`: only when
// `c` stands in the entry before its last byte.
class EntryHead {
 public:
  explicit EntryHead(std::string_view entry) {
    for (std::size_t i = 0; i + 1 < entry.size(); ++i)
      in_[static_cast<unsigned char>(entry[i])] = true;
  }
  bool contains(char c) const { return in_[static_cast<unsigned char>(c)]; }

 private:
  std::array<bool, 256> in_{};
};

// A place in [from, target] where no match is under way, close before
// `target`: the place after a byte that is not in the entry's head will do,
// and so does `from`. Looks back at most twice the entry's length.
const char* resumeBefore(const char* from, const char* target, const EntryHead& head,
                         std::size_t entryLength) {
  const char* limit =
      static_cast<std::size_t>(target - from) > 2 * entryLength ? target - 2 * entryLength : from;
  const char* at = target;
  while (at > limit && head.contains(at[-1]))
    --at;
  return at > from && head.contains(at[-1]) ? from : at;
}

// Runs one block of the source through the matcher, in place: the kept bytes
// move towards the front of the block, so a block without an occurrence is
// not copied at all. A match carried in from the previous block is settled
// first; what it keeps goes to `before`, to be written ahead of the block.
// Returns how many kept bytes stand at the front of `data`.
std::size_t filterBlock(char* data, std::size_t count, std::string_view entry,
                        const EntryHead& head, std::size_t& position, std::string& before) {
  if (entry.empty()) return count;
  const char* next = data;
  const char* end = data + count;
  while (position != 0 && next != end)
    position = matchEntryAt(*next++, position, entry, before);
  char* kept = data;  // the front of the block: where the next kept bytes go
  auto keep = [&kept](const char* from, const char* to) {
    std::size_t n = static_cast<std::size_t>(to - from);
    if (kept != from) std::memmove(kept, from, n);
    kept += n;
  };
  // Bytes from `run` up to `next` stay; they move in one go when an
  // occurrence or the end of the block interrupts them.
  const char* run = next;
  while (static_cast<std::size_t>(end - next) >= entry.size()) {
    // Leap to just before the next whole occurrence, or before the block's
    // last bytes: nothing on the way is removed. Whether the occurrence is
    // removed depends on the matches just before it (a broken match takes the
    // byte that broke it along), so those are stepped through exactly.
    const char* target = findOccurrence(next, end, entry);
    if (target == end) target = end - (entry.size() - 1);
    next = resumeBefore(next, target, head, entry.size());
    while (next <= target && static_cast<std::size_t>(end - next) >= entry.size()) {
      // Outside a match only the entry's first byte matters.
      const void* hit = std::memchr(next, entry[0], static_cast<std::size_t>(end - next));
      if (!hit) {
        next = end;
        break;
      }
      next = static_cast<const char*>(hit);
      if (static_cast<std::size_t>(end - next) < entry.size()) break;
      // The whole entry's length is at hand: settle the match in one go,
      // with the same outcome as stepping through it byte by byte.
      std::size_t same = matchingPrefix(next, entry);
      if (same == entry.size()) {
        keep(run, next);
        next += same;
        run = next;
      } else {
        // The broken match and the byte that broke it stay, untried.
        next += same + 1;
      }
    }
  }
  keep(run, next);
  // The last bytes may start a match that runs past the block: step them one
  // by one. What they keep is no longer than they are.
  std::string tail;
  while (next != end)
    position = matchEntryAt(*next++, position, entry, tail);
  keep(tail.data(), tail.data() + tail.size());
  return static_cast<std::size_t>(kept - data);
}

}  // namespace

CopyResult copyWithoutEntry(ByteSource& source, ByteSink& sink, std::string_view entry) {
  std::string block(kBlockSize, '\0');
  std::string before;
  const EntryHead head(entry);
  std::size_t position = 0;
  for (;;) {
    std::size_t count = 0;
    if (!source.read(block.data(), block.size(), &count))
      return unexpected(CopyFailure::kReadFailed);
    if (count == 0) break;
    before.clear();
    std::size_t kept = filterBlock(block.data(), count, entry, head, position, before);
    if (!before.empty() && !sink.write(before.data(), before.size()))
      return unexpected(CopyFailure::kWriteFailed);
    if (kept != 0 && !sink.write(block.data(), kept)) return unexpected(CopyFailure::kWriteFailed);
  }
  before.clear();
  finishMatch(position, entry, before);
  if (!before.empty() && !sink.write(before.data(), before.size()))
    return unexpected(CopyFailure::kWriteFailed);
  return {};
}

}  // namespace varnick
