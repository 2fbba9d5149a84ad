#include "hosts/entry_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "hosts/entry_matcher_reference.h"

namespace varnick {
namespace {

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// A source over a string that hands out at most `chunk` bytes per read and
// can fail: the read that would deliver byte `failAt` fails instead (the one
// before it stops short of that byte). `failOnce` lets later reads succeed.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string data, std::size_t chunk = kNever, std::size_t failAt = kNever,
                        bool failOnce = true)
      : data_(std::move(data)), chunk_(chunk), failAt_(failAt), failOnce_(failOnce) {}

  bool read(char* buffer, std::size_t capacity, std::size_t* count) override {
    ++reads_;
    if (next_ == failAt_) {
      if (failOnce_) failAt_ = kNever;
      return false;
    }
    std::size_t n = std::min({capacity, chunk_, data_.size() - next_});
    if (failAt_ > next_) n = std::min(n, failAt_ - next_);
    std::copy_n(data_.data() + next_, n, buffer);
    next_ += n;
    *count = n;
    return true;
  }

  int reads_ = 0;

 private:
  std::string data_;
  std::size_t chunk_;
  std::size_t failAt_;
  bool failOnce_;
  std::size_t next_ = 0;
};

// A sink into a string that can fail at byte `failAt`: the write that would
// carry that byte keeps the bytes before it and reports failure, as a short
// write does.
class MemorySink : public ByteSink {
 public:
  explicit MemorySink(std::size_t failAt = kNever, bool failOnce = true)
      : failAt_(failAt), failOnce_(failOnce) {}

  bool write(const char* data, std::size_t size) override {
    ++writes_;
    if (failAt_ != kNever && content_.size() + size > failAt_) {
      content_.append(data, failAt_ - std::min(failAt_, content_.size()));
      if (failOnce_) failAt_ = kNever;
      return false;
    }
    content_.append(data, size);
    return true;
  }

  std::string content_;
  int writes_ = 0;

 private:
  std::size_t failAt_;
  bool failOnce_;
};

std::string rebuilt(const std::string& source, const std::string& entry,
                    std::size_t chunk = kNever) {
  MemorySource in(source, chunk);
  MemorySink out;
  EXPECT_TRUE(copyWithoutEntry(in, out, entry));
  return out.content_;
}

struct Case {
  std::string entry;
  std::string source;
  std::string expected;
};

const Case kCases[] = {
    // Entry "abc", as the rules are first worked through.
    {"abc", "xyz", "xyz"},
    {"abc", "xabc", "x"},
    {"abc", "xabcy", "xy"},
    {"abc", "abx", "abx"},
    // A broken match is not retried, nor is the byte that broke it.
    {"ab", "aab", "aab"},
    {"abc", "ababc", "ababc"},
    {"abc", "abcabd", "abd"},
    // Adjacent repeats all go: the byte after an occurrence may start one.
    {"ab", "abab", ""},
    {"ab", "ababab", ""},
    {"ab", "xababy", "xy"},
    {"ab", "abaab", "aab"},
    {"a", "banana", "bnn"},
    {"aa", "aaaaa", "a"},
    // Partial matches at the end of the source stay.
    {"abc", "xab", "xab"},
    {"abc", "xa", "xa"},
    {"abc", "a", "a"},
    {"abc", "abcab", "ab"},
    // The empty entry removes nothing.
    {"", "abc", "abc"},
    {"", "", ""},
    {"abc", "", ""},
    // Occurrences need no boundaries, and every one goes.
    {"bad", "abadcafe", "acafe"},
    {"ads.test", "0.0.0.0 ads.test.example\r\nads.tests", "0.0.0.0 .example\r\ns"},
    // The hosts file as an add leaves it: the line break before the entry stays.
    {"10.0.0.1 x.test", "127.0.0.1 localhost\r\n\r\n10.0.0.1 x.test",
     "127.0.0.1 localhost\r\n\r\n"},
    // Bytes above 0x7f (OEM text) and zero bytes compare as they are.
    {"caf\x82", "x caf\x82 caf\xe9", "x  caf\xe9"},
    {"\xff", std::string("a\xff\0\xff b", 6), std::string("a\0 b", 4)},
    {std::string("\0z", 2), std::string("y\0z\0", 4), std::string("y\0", 2)},
};

TEST(CopyWithoutEntry, KeepsEverythingButTheOccurrences) {
  for (const Case& c : kCases) {
    // Every read size, so that occurrences and broken matches straddle reads.
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, kNever}) {
      EXPECT_EQ(rebuilt(c.source, c.entry, chunk), c.expected)
          << "entry '" << c.entry << "' source '" << c.source << "' chunk " << chunk;
    }
  }
}

TEST(CopyWithoutEntry, MatchesTheReferenceOnGeneratedInput) {
  std::mt19937 random(20240611);
  // A small alphabet makes matches, broken matches and repeats common.
  auto text = [&](std::size_t length) {
    std::string s(length, '\0');
    for (char& ch : s)
      ch = "ab\r\n"[random() % 4];
    return s;
  };
  for (int i = 0; i < 6000; ++i) {
    std::string entry = text(random() % 6);
    std::string source = text(random() % 600);
    // Whole reads as well, so that the sixteen-at-a-time search runs too.
    std::size_t chunk = random() % 4 == 0 ? kNever : 1 + random() % 17;
    ASSERT_EQ(rebuilt(source, entry, chunk), reference::removeEntry(source, entry))
        << "entry '" << entry << "' source '" << source << "' chunk " << chunk;
  }
}

TEST(CopyWithoutEntry, MatchesTheReferenceAcrossItsOwnBlocks) {
  // Longer than several of the matcher's internal blocks, with lines like a
  // real hosts file and the entry in many of them.
  std::string source;
  for (int i = 0; source.size() < 1500000; ++i) {
    source += i % 7 == 0 ? "0.0.0.0 ads.test" : "0.0.0.0 ads" + std::to_string(i) + ".test";
    source += "\r\n";
  }
  for (const char* entry : {"0.0.0.0 ads.test", "\r\n0", "s"}) {
    EXPECT_EQ(rebuilt(source, entry), reference::removeEntry(source, entry)) << entry;
  }
}

TEST(CopyWithoutEntry, ReadsAndWritesInLargeBlocks) {
  const std::string source(1 << 20, 'x');
  MemorySource in(source);
  MemorySink out;
  ASSERT_TRUE(copyWithoutEntry(in, out, "0.0.0.0 y"));
  EXPECT_EQ(out.content_, source);
  // A megabyte in 64 KB blocks or larger: a per-byte copy would make a million calls.
  EXPECT_LE(in.reads_, 17);
  EXPECT_LE(out.writes_, 17);
}

const std::string kHosts = "127.0.0.1 localhost\r\n0.0.0.0 ads.test\r\n10.0.0.1 keep.test";
const char kEntry[] = "0.0.0.0 ads.test";

TEST(CopyWithoutEntry, FailedWriteStopsTheCopy) {
  const std::string expected = reference::removeEntry(kHosts, kEntry);
  for (std::size_t k = 0; k < expected.size(); ++k) {
    MemorySource in(kHosts, 5);
    MemorySink out(k);
    CopyResult copied = copyWithoutEntry(in, out, kEntry);
    ASSERT_FALSE(copied) << k;
    EXPECT_EQ(copied.error(), CopyFailure::kWriteFailed) << k;
    EXPECT_EQ(out.content_, expected.substr(0, k)) << k;
  }
}

TEST(CopyWithoutEntry, FailedReadStopsTheCopy) {
  // k == size: the read that would report the end fails, which is no success.
  for (std::size_t k = 0; k <= kHosts.size(); ++k) {
    MemorySource in(kHosts, 5, k);
    MemorySink out;
    CopyResult copied = copyWithoutEntry(in, out, kEntry);
    ASSERT_FALSE(copied) << k;
    EXPECT_EQ(copied.error(), CopyFailure::kReadFailed) << k;
    const std::string expected = reference::removeEntry(kHosts.substr(0, k), kEntry);
    EXPECT_EQ(expected.rfind(out.content_, 0), 0u) << "not a prefix of the result, at " << k;
  }
}

}  // namespace
}  // namespace varnick
