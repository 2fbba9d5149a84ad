#include "control/session_events.h"

#include <gtest/gtest.h>

namespace varnick::control {
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

TEST(SessionEvents, OneObjectALineWithTheDocumentedFields) {
  EXPECT_EQ(readyEvent({"127.0.0.1 a.test", "::1 b.test"}, "C:\\etc\\hosts", "service"),
            "{\"event\":\"ready\",\"entries\":[\"127.0.0.1 a.test\",\"::1 b.test\"],"
            "\"hosts_file\":\"C:\\\\etc\\\\hosts\",\"via\":\"service\"}\n");
  EXPECT_EQ(recoveredEvent("10.0.0.1 a.test", "2026-12-07 13:25:03"),
            "{\"event\":\"recovered\",\"line\":\"10.0.0.1 a.test\","
            "\"session_started\":\"2026-12-07 13:25:03\"}\n");
  EXPECT_EQ(errorEvent(120, "the entry 'x' is refused", "usage", {}),
            "{\"event\":\"error\",\"exit_code\":120,\"message\":\"the entry 'x' is refused\","
            "\"reason\":\"usage\",\"remedies\":[]}\n");
  EXPECT_EQ(errorEvent(121, "m", "varnick-untrusted-folder", {"a", "b \"c\""}),
            "{\"event\":\"error\",\"exit_code\":121,\"message\":\"m\","
            "\"reason\":\"varnick-untrusted-folder\",\"remedies\":[\"a\",\"b \\\"c\\\"\"]}\n");
  EXPECT_EQ(endedEvent(-1), "{\"event\":\"ended\",\"exit_code\":-1}\n");
}

}  // namespace
}  // namespace varnick::control
