#include "modes/work_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

#include "log/logging_state.h"

namespace varnick {
namespace {

namespace fs = std::filesystem;

// A line that a caller sent reaches the log through visibleText in every
// record that names it: one line of text, no byte that drives a terminal.
// The item itself keeps the bytes, for varnick-session to show as it does.
TEST(WorkReport, ShowsACallersLineEscapedInItsRecord) {
  const fs::path path =
      fs::temp_directory_path() / ("varnick_work_report_" + std::to_string(::getpid()));
  const std::string line = "127.0.0.1 a.test\x1b]0;owned\x07\x1b[2J\r\n\x7f";
  const std::string shown = "127.0.0.1 a.test\\x1B]0;owned\\x07\\x1B[2J\\r\\n\\x7F";
  const std::pair<ReportKind, std::string> cases[] = {
      {ReportKind::kTookOut, "Session took out '" + shown + "'\n"},
      {ReportKind::kLeft, "Session left '" + shown + "': no longer a line of the hosts file\n"},
      {ReportKind::kRemoved, "Removed '" + shown + "' left by the session started 2026\\x1B\n"},
      {ReportKind::kSkipped, "Skipped '" + shown +
                                 "' of the session started 2026\\x1B: no "
                                 "longer in the hosts file\n"},
  };
  for (const auto& [kind, record] : cases) {
    resetLoggingState();
    configureLogging("info", false, path.string().c_str(), 20480000);
    WorkReport report(getLogger("Recovery"), "Session");
    report.add({kind, line, "2026\x1b"});
    resetLoggingState();
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    fs::remove(path);
    const std::size_t dash = text.find(" - ");
    EXPECT_EQ(dash == std::string::npos ? text : text.substr(dash + 3), record);
    ASSERT_EQ(report.items().size(), 1u);
    EXPECT_EQ(report.items()[0].line, line);
  }
}

}  // namespace
}  // namespace varnick
