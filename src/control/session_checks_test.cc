#include "control/session_checks.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(EntryProblem, OneLineOfAtMost254Bytes) {
  struct Case {
    std::string bytes;
    bool refused;
  };
  const Case cases[] = {
      {"10.0.0.1 a.test", false},
      {std::string(254, 'x'), false},
      {std::string(255, 'x'), true},
      {"10.0.0.1 a.test\r\n10.0.0.2 b.test", true},
      {"a\rb", true},
      {"a\nb", true},
      {std::string("a\0b", 3), true},
      {"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(entryProblem(c.bytes).has_value(), c.refused) << c.bytes;
}

TEST(VisibleText, KeepsAMessageOnOneLine) {
  EXPECT_EQ(visibleText(std::string("a\r\nb\0c\\n", 8)), "a\\r\\nb\\0c\\n");
}

TEST(ChangedLines, NamesWhatOthersAddedAndRemoved) {
  const std::string expected = "127.0.0.1 localhost\r\n::1 localhost\r\n10.0.0.1 ours.test";
  struct Case {
    const char* name;
    std::string now;
    std::vector<std::string> added;
    std::vector<std::string> removed;
  };
  const Case cases[] = {
      {"unchanged", expected, {}, {}},
      {"a line appended", expected + "\r\n10.0.0.9 theirs.test", {"10.0.0.9 theirs.test"}, {}},
      {"a line removed", "127.0.0.1 localhost\r\n10.0.0.1 ours.test", {}, {"::1 localhost"}},
      // A second copy of a line that stands once is a change of its own.
      {"a line doubled", expected + "\r\n::1 localhost", {"::1 localhost"}, {}},
      // LF alone ends a line as CR LF does.
      {"other line ends", "127.0.0.1 localhost\n::1 localhost\n10.0.0.1 ours.test", {}, {}},
      {"emptied", "", {}, {"127.0.0.1 localhost", "::1 localhost", "10.0.0.1 ours.test"}},
  };
  for (const Case& c : cases) {
    LineChanges changes = changedLines(expected, c.now);
    EXPECT_EQ(changes.added, c.added) << c.name;
    EXPECT_EQ(changes.removed, c.removed) << c.name;
  }
}

}  // namespace
}  // namespace varnick::control
