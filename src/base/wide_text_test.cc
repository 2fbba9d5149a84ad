#include "base/wide_text.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

struct Utf16Case {
  std::u16string input;
  std::string expected;
};

class Utf16ToUtf8 : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8, Converts) {
  const Utf16Case& c = GetParam();
  EXPECT_EQ(utf16ToUtf8(c.input.data(), c.input.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf16ToUtf8,
    ::testing::Values(Utf16Case{u"", ""}, Utf16Case{u"hosts", "hosts"},
                      Utf16Case{u"caf\u00e9", "caf\xc3\xa9"}, Utf16Case{u"\u65e5", "\xe6\x97\xa5"},
                      Utf16Case{u"\U0001F600", "\xf0\x9f\x98\x80"},
                      // Unpaired surrogates: a high one at the end, a high one
                      // before a non-surrogate, a low one on its own.
                      Utf16Case{std::u16string{u'a', char16_t(0xD83D)}, "a\xef\xbf\xbd"},
                      Utf16Case{std::u16string{char16_t(0xD83D), u'b'},
                                "\xef\xbf\xbd"
                                "b"},
                      Utf16Case{std::u16string{char16_t(0xDE00), u'c'},
                                "\xef\xbf\xbd"
                                "c"}));

TEST(WideToUtf8, NullAndNonAscii) {
  EXPECT_EQ(wideToUtf8(nullptr), "");
  EXPECT_EQ(wideToUtf8(L"C:\\Windows\\caf\u00e9"), "C:\\Windows\\caf\xc3\xa9");
}

TEST(Utf8ToWide, TakesUtf8AndRefusesWhatIsNot) {
  const std::pair<std::string, std::optional<std::wstring>> cases[] = {
      {"", L""},
      {"a.test", L"a.test"},
      {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
      {"caf\xc3\xa9", L"caf\u00e9"},
      {"\xe6\x97\xa5", L"\u65e5"},
      {"\xf0\x9f\x98\x80", L"\U0001F600"},
      {"\xf4\x8f\xbf\xbf", L"\U0010FFFF"},
      {"\x80", std::nullopt},              // a continuation byte alone
      {"\xc3", std::nullopt},              // cut short
      {"\xc3(", std::nullopt},             // not followed by a continuation
      {"\xc0\xaf", std::nullopt},          // an overlong '/'
      {"\xe0\x80\xaf", std::nullopt},      // overlong in three bytes
      {"\xed\xa0\x80", std::nullopt},      // a surrogate
      {"\xf4\x90\x80\x80", std::nullopt},  // past U+10FFFF
      {"\xff", std::nullopt},
  };
  for (const auto& [text, wide] : cases) {
    EXPECT_EQ(utf8ToWide(text), wide) << text;
    // Back again, whole.
    if (wide) EXPECT_EQ(wideSpanToUtf8(*wide), text);
  }
}

}  // namespace
}  // namespace varnick
