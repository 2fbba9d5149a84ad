#include "session/session_help.h"

#include <gtest/gtest.h>

#include "session/session_exit_codes.h"

namespace varnick::control {
namespace {

TEST(SessionHelp, EveryOptionHasALineAndEveryLineFitsAConsole) {
  const std::vector<const char*> common = {"--add ENTRY",
                                           "--hosts-file PATH",
                                           "--for DURATION",
                                           "--utf8",
                                           "--timeout SECONDS",
                                           "--recover",
                                           "--clean",
                                           "--status",
                                           "--help",
                                           "--version",
                                           "--raw",
                                           "--json",
                                           "--no-consent",
                                           "--trust-varnick-folder"};
  const std::vector<const char*> windowsOnly = {"--backup PATH", "--port N", "--varnick PATH"};
  for (Platform platform : {Platform::kWindows, Platform::kLinux}) {
    const std::string help = sessionHelpText(platform);
    auto listed = [&help](const std::string& option) {
      for (const char* after : {" ", ",", "\n"}) {
        if (help.find("\n  " + option + after) != std::string::npos) return true;
      }
      return false;
    };
    for (const char* option : common)
      EXPECT_TRUE(listed(option)) << option;
    for (const char* option : windowsOnly)
      EXPECT_EQ(listed(option), platform == Platform::kWindows) << option;
    // An 80-column console wraps a line of 80 before its line end.
    std::size_t start = 0;
    for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1)
      EXPECT_LT(end - start, 80u) << help.substr(start, end - start);
    EXPECT_EQ(help.back(), '\n');
  }
}

TEST(SessionHelp, LinuxSpeaksOfSudoAndNothingOfWindows) {
  const std::string help = sessionHelpText(Platform::kLinux);
  for (const char* windows :
       {"varnick.exe", "consent prompt", "for consent", "elevated", "administrator", "PATHEXT",
        "cmd.exe", "LOCALAPPDATA", "Ctrl+Break", "service", "OEM"}) {
    EXPECT_EQ(help.find(windows), std::string::npos) << windows;
  }
  for (const char* word : {"sudo", "/etc/hosts", "SIGTERM", "143", "129"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  EXPECT_EQ(std::string(sessionUsageText(Platform::kLinux)).find("--varnick"), std::string::npos);
}

TEST(SessionHelp, EachPlatformNamesItsOwnCodesAndTheirWords) {
  // The signals' codes are Linux's alone; every code has its word.
  EXPECT_EQ(sessionExitMeaning(kSessionTerminated, Platform::kWindows), "exit code 143");
  EXPECT_EQ(sessionExitMeaning(kSessionTerminated, Platform::kLinux), "interrupted by SIGTERM");
  EXPECT_EQ(sessionExitMeaning(kSessionNoCommand, Platform::kLinux),
            sessionExitMeaning(kSessionNoCommand, Platform::kWindows));
  EXPECT_EQ(sessionExitReason(kSessionHungUp), "interrupted");
  EXPECT_EQ(sessionExitReason(kSessionNoConnection), "no-connection");
  EXPECT_EQ(sessionExitReason(1), "failed");
  for (const SessionExitCode& exit : kSessionExitCodes) {
    for (const char* meaning : {exit.meaning, exit.linuxMeaning}) {
      if (meaning != nullptr) EXPECT_LE(std::string(meaning).size(), 72u) << meaning;
    }
  }
}

}  // namespace
}  // namespace varnick::control
