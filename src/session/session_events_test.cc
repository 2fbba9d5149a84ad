#include "session/session_events.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

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
