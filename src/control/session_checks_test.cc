#include "control/session_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "hosts/session_journal.h"

namespace varnick::control {
namespace {

TEST(EntryProblem, OneLineOfAtMost254BytesWithoutControlCharacters) {
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
      {"10.0.0.1\ta.test", false},
      {"10.0.0.1 a.test\x0b", true},
      {"10.0.0.1 a\x0c.test", true},
      {"10.0.0.1 a.test\x1a", true},
      {"\x01", true},
      {"\x1f", true},
      {"10.0.0.1 a.test\x7f", true},
      // UTF-8 and OEM bytes above 0x7F are characters, not control bytes.
      {"10.0.0.1 caf\xc3\xa9.test", false},
      {"10.0.0.1 \x80\xff.test", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(entryProblem(c.bytes).has_value(), c.refused) << c.bytes;
}

TEST(VisibleText, KeepsAMessageOnOneLineAndShowsControlCharacters) {
  EXPECT_EQ(visibleText(std::string("a\r\nb\0c\\n", 8)), "a\\r\\nb\\0c\\n");
  EXPECT_EQ(visibleText("a\tb\x0b\x1a\x7f\xc3\xa9"), "a\tb\\x0B\\x1A\\x7F\xc3\xa9");
}

}  // namespace
}  // namespace varnick::control
