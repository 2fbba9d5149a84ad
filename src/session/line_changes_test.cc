#include "session/line_changes.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

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
