#include "control/session_options.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(SessionOptions, ReadsEveryOptionAndTheCommand) {
  ParsedOptions parsed = parseSessionOptions(
      {L"--backup", L"C:\\b", L"--port", L"8080", L"--add", L"1.2.3.4 a.test", L"--utf8",
       L"--varnick", L"D:\\v.exe", L"--timeout", L"5", L"--add", L"5.6.7.8 b.test", L"--",
       L"cmd", L"--add", L"x"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const SessionOptions& o = *parsed.options;
  EXPECT_EQ(o.backupPath, L"C:\\b");
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.varnickPath, L"D:\\v.exe");
  EXPECT_TRUE(o.utf8);
  EXPECT_EQ(o.connectTimeoutSeconds, 5);
  EXPECT_EQ(o.entries, (std::vector<std::wstring>{L"1.2.3.4 a.test", L"5.6.7.8 b.test"}));
  // Everything after -- belongs to the command, option-like words included.
  EXPECT_EQ(o.command, (std::vector<std::wstring>{L"cmd", L"--add", L"x"}));
}

TEST(SessionOptions, DefaultsWithoutCommand) {
  ParsedOptions parsed = parseSessionOptions({L"--add", L""});
  ASSERT_TRUE(parsed.options);
  EXPECT_EQ(parsed.options->port, 0);
  EXPECT_FALSE(parsed.options->backupPath);
  EXPECT_EQ(parsed.options->entries, std::vector<std::wstring>{L""});
  EXPECT_TRUE(parsed.options->command.empty());
}

TEST(SessionOptions, RefusesBadCommandLines) {
  const std::vector<std::vector<std::wstring>> refused = {
      {},
      {L"--", L"cmd"},
      {L"--add"},
      {L"--add", L"x", L"--"},
      {L"--add", L"x", L"--port", L"65536"},
      {L"--add", L"x", L"--port", L"-1"},
      {L"--add", L"x", L"--port", L"80abc"},
      {L"--add", L"x", L"--port", L""},
      {L"--add", L"x", L"--timeout", L"0"},
      {L"--add", L"x", L"--verbose"},
      {L"--add", L"x", L"cmd"},
  };
  for (const auto& arguments : refused) {
    ParsedOptions parsed = parseSessionOptions(arguments);
    EXPECT_FALSE(parsed.options) << arguments.size();
    EXPECT_FALSE(parsed.error.empty());
  }
}

}  // namespace
}  // namespace varnick::control
