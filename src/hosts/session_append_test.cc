#include "hosts/session_append.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace varnick {
namespace {

// A hosts file in memory, whose steps can fail, that notes what happened in
// order alongside the journal.
class FakeTarget final : public AppendTarget {
 public:
  FakeTarget(std::string content, std::vector<std::string>& steps)
      : content_(std::move(content)), steps_(steps) {}
  Expected<std::optional<char>, std::uint32_t> lastByte() override {
    if (readError) return unexpected(readError);
    if (content_.empty()) return std::optional<char>();
    return std::optional<char>(content_.back());
  }
  SystemResult append(std::string_view bytes) override {
    steps_.push_back("write");
    if (writeError == 0) content_.append(bytes);
    return systemResult(writeError);
  }
  std::uint32_t readError = 0;
  std::uint32_t writeError = 0;
  const std::string& content() const { return content_; }

 private:
  std::string content_;
  std::vector<std::string>& steps_;
};

TEST(AppendJournaledLine, RecordsFirstThenWritesALineOfItsOwn) {
  struct Case {
    const char* name;
    std::string before;
    std::uint32_t readError, journalError, writeError;
    std::optional<AppendStep> step;  // none: done
    std::string after;
    std::vector<std::string> steps;
    std::string_view lineEnd = kCrLf;
  };
  const Case cases[] = {
      {"empty file", "", 0, 0, 0, std::nullopt, "a\r\n", {"L", "write"}},
      {"ends in CR LF", "x\r\n", 0, 0, 0, std::nullopt, "x\r\na\r\n", {"L", "write"}},
      {"ends in LF", "x\n", 0, 0, 0, std::nullopt, "x\na\r\n", {"L", "write"}},
      {"no line end", "x", 0, 0, 0, std::nullopt, "x\r\na\r\n", {"S", "write"}},
      // A CR alone ends no line for the readers that split at LF.
      {"ends in CR", "x\r", 0, 0, 0, std::nullopt, "x\r\r\na\r\n", {"S", "write"}},
      // The journal could not say so: nothing goes in.
      {"journal fails", "x\r\n", 0, 112, 0, AppendStep::kJournalFailed, "x\r\n", {"L"}},
      {"write fails", "x\r\n", 0, 0, 5, AppendStep::kWriteFailed, "x\r\n", {"L", "write"}},
      // Opened, but its end could not be read: named as the read it is.
      {"file cannot be read", "x", 6, 0, 0, AppendStep::kReadFailed, "x", {}},
      // Linux's line end.
      {"LF: ends in LF", "x\n", 0, 0, 0, std::nullopt, "x\na\n", {"L", "write"}, kLf},
      {"LF: no line end", "x", 0, 0, 0, std::nullopt, "x\na\n", {"S", "write"}, kLf},
      // An LF alone would join the file's CR into the separator.
      {"LF: ends in CR", "x\r", 0, 0, 0, std::nullopt, "x\r\r\na\n", {"S", "write"}, kLf},
  };
  for (const Case& c : cases) {
    std::vector<std::string> steps;
    FakeTarget target(c.before, steps);
    target.readError = c.readError;
    target.writeError = c.writeError;
    AppendResult result = appendJournaledLine(
        target, "a",
        [&](LineStart start) {
          steps.emplace_back(start == LineStart::kOwnLine ? "L" : "S");
          return systemResult(c.journalError);
        },
        c.lineEnd);
    EXPECT_EQ(result ? std::nullopt : std::optional(result.error().step), c.step) << c.name;
    EXPECT_EQ(target.content(), c.after) << c.name;
    EXPECT_EQ(steps, c.steps) << c.name;
  }
}

}  // namespace
}  // namespace varnick
