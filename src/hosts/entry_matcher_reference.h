// A slow reference for the matcher, for the unit tests and the fuzzer only:
// it reads one byte at a time and recurses once per matched byte, stating the
// rules the way they read, with none of the block handling of the real one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnick::reference {

class EntryRemover {
 public:
  EntryRemover(std::string_view source, std::string_view entry) : source_(source), entry_(entry) {}

  std::string run() {
    char c;
    while (readByte(c)) {
      // A byte read after a complete occurrence starts over at position 0;
      // looping here rather than recursing keeps long runs of adjacent
      // occurrences off the stack.
      for (std::optional<char> again = step(c, 0); again; again = step(*again, 0)) {
      }
    }
    return out_;
  }

 private:
  bool readByte(char& c) {
    if (next_ == source_.size()) return false;
    c = source_[next_++];
    return true;
  }

  // `p` entry bytes were read just before `c`. Returns c when it follows a
  // complete occurrence and is to be tried as the start of another.
  std::optional<char> step(char c, std::size_t p) {
    if (p == entry_.size()) {
      // With an empty entry nothing is ever matched, so c is kept.
      if (!entry_.empty()) return c;
      out_ += c;
      return std::nullopt;
    }
    if (c == entry_[p]) {
      char next;
      if (!readByte(next)) {
        // The source ends inside a match: unless c finished the entry, the
        // bytes read so far, c included, were no occurrence and stay.
        if (p + 1 < entry_.size()) out_.append(entry_.substr(0, p + 1));
        return std::nullopt;
      }
      return step(next, p + 1);
    }
    // A broken match keeps its bytes in their places, ahead of c.
    out_.append(entry_.substr(0, p));
    out_ += c;
    return std::nullopt;
  }

  std::string_view source_;
  std::string_view entry_;
  std::size_t next_ = 0;
  std::string out_;
};

inline std::string removeEntry(std::string_view source, std::string_view entry) {
  return EntryRemover(source, entry).run();
}

}  // namespace varnick::reference
