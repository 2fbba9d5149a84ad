#include "base/json_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace varnick {
namespace {

TEST(JsonString, EscapesWhatJsonMustAndReplacesWhatIsNotUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"10.0.0.1 a.test", "\"10.0.0.1 a.test\""},
      {"say \"hi\" C:\\etc", "\"say \\\"hi\\\" C:\\\\etc\""},
      {"a\tb\r\nc", "\"a\\tb\\r\\nc\""},
      {std::string("\x01\x1f\x7f\0", 4), "\"\\u0001\\u001f\\u007f\\u0000\""},
      // Whole UTF-8 sequences pass; OEM bytes, cut, overlong and surrogate
      // sequences do not.
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"caf\x82", "\"caf\xef\xbf\xbd\""},
      {"\xc3", "\"\xef\xbf\xbd\""},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const auto& [text, json] : cases)
    EXPECT_EQ(jsonString(text), json) << text;
}

}  // namespace
}  // namespace varnick
