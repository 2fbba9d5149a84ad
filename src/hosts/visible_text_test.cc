#include "hosts/visible_text.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

TEST(VisibleText, KeepsAMessageOnOneLineAndShowsControlCharacters) {
  EXPECT_EQ(visibleText(std::string("a\r\nb\0c\\n", 8)), "a\\r\\nb\\0c\\n");
  EXPECT_EQ(visibleText("a\tb\x0b\x1a\x7f\xc3\xa9"), "a\tb\\x0B\\x1A\\x7F\xc3\xa9");
}

}  // namespace
}  // namespace varnick
