#include "log/logging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "log/logging_state.h"

namespace varnick {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingState();
    dir_ = fs::temp_directory_path() /
           ("varnick_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    logPath_ = (dir_ / "varnick.log").string();
  }
  void TearDown() override {
    resetLoggingState();
    fs::remove_all(dir_);
  }

  // Runs `body` with stdout captured and returns what it printed.
  template <typename F>
  std::string captureStdout(F body) {
    ::testing::internal::CaptureStdout();
    body();
    return ::testing::internal::GetCapturedStdout();
  }

  fs::path dir_;
  std::string logPath_;
};

const std::regex kRecord(
    R"(\d\d:\d\d:\d\d (EMERG|ALERT|CRIT |ERROR|WARN |NOTE |INFO |DEBUG|INFO) .*\n)");

TEST(LevelName, FiveCharactersForKnownLevelsAndInfoOtherwise) {
  const std::pair<LogLevel, const char*> cases[] = {
      {0, "EMERG"}, {1, "ALERT"}, {2, "CRIT "},        {3, "ERROR"},
      {4, "WARN "}, {5, "NOTE "}, {6, "INFO "},        {7, "DEBUG"},
      {8, "INFO"},  {-1, "INFO"}, {INT32_MIN, "INFO"}, {INT32_MAX, "INFO"}};
  for (const auto& [level, name] : cases)
    EXPECT_STREQ(levelName(level), name) << level;
}

TEST(ThresholdForName, OnlyThreeExactWordsSelectAnotherThreshold) {
  const std::pair<const char*, LogLevel> cases[] = {
      {"DEBUG", kDebug}, {"WARN", kWarn},  {"ERROR", kError}, {"info", kInfo},
      {"INFO", kInfo},   {"debug", kInfo}, {"Debug", kInfo},  {"WARN ", kInfo},
      {"error", kInfo},  {"CRIT", kInfo},  {"", kInfo}};
  for (const auto& [word, level] : cases)
    EXPECT_EQ(thresholdForName(word), level) << word;
}

TEST_F(LoggingTest, RecordGoesToConsoleAndFileInTheRecordFormat) {
  configureLogging("info", true, logPath_.c_str(), 20480000);
  std::string out = captureStdout(
      [] { logMessage(kInfo, getLogger("Main"), "Using hosts file %s", "C:\\hosts"); });
  EXPECT_TRUE(std::regex_match(
      out, std::regex(R"(\d\d:\d\d:\d\d INFO  Main - Using hosts file C:\\hosts\n)")))
      << out;
  EXPECT_EQ(readFile(logPath_), out);
}

TEST_F(LoggingTest, ThresholdFiltersBeforeAnythingIsWritten) {
  configureLogging("info", true, logPath_.c_str(), 20480000);
  Logger* log = getLogger("Server");
  std::string out = captureStdout([&] {
    logMessage(kDebug, log, "dropped");
    logMessage(kInfo, log, "info");
    logMessage(kError, log, "error");
    logMessage(kCrit, log, "crit");
    logMessage(-5, log, "negative");
    logMessage(8, log, "eight");
  });
  EXPECT_EQ(out.find("dropped"), std::string::npos);
  for (const char* line : {" INFO  Server - info\n", " ERROR Server - error\n",
                           " CRIT  Server - crit\n", " INFO Server - negative\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
  // Level 8 is above the INFO threshold: dropped, though it would print as INFO.
  EXPECT_EQ(out.find("eight"), std::string::npos);
}

TEST_F(LoggingTest, WarnThresholdDropsInfo) {
  configureLogging("WARN", true, logPath_.c_str(), 20480000);
  std::string out = captureStdout([] {
    logMessage(kInfo, getLogger("Main"), "info");
    logMessage(kWarn, getLogger("Main"), "warn");
  });
  EXPECT_EQ(out.find("info"), std::string::npos);
  EXPECT_NE(out.find(" WARN  Main - warn\n"), std::string::npos);
}

TEST_F(LoggingTest, MessageIsCutAt1023Characters) {
  configureLogging("info", false, logPath_.c_str(), 20480000);
  Logger* log = getLogger("Main");
  for (std::size_t length : {1022u, 1023u, 1024u, 5000u}) {
    std::string message(length, 'x');
    logMessage(kInfo, log, "%s", message.c_str());
  }
  std::istringstream lines(readFile(logPath_));
  std::string line;
  std::size_t expected[] = {1022, 1023, 1023, 1023};
  for (std::size_t want : expected) {
    ASSERT_TRUE(std::getline(lines, line));
    std::size_t dash = line.find(" - ");
    ASSERT_NE(dash, std::string::npos);
    EXPECT_EQ(line.size() - dash - 3, want);
  }
}

TEST_F(LoggingTest, LongCategoryAndLongestMessageAreWrittenWhole) {
  configureLogging("info", true, logPath_.c_str(), 20480000);
  for (std::size_t categoryLength : {8u, 600u, 5000u}) {
    std::string category(categoryLength, 'C');
    std::string message(1023, 'm');
    std::string out =
        captureStdout([&] { logMessage(kInfo, getLogger(category), "%s", message.c_str()); });
    EXPECT_EQ(out.size(), 9 + 6 + categoryLength + 3 + 1023 + 1) << categoryLength;
    std::string record = " INFO  " + category;
    record.append(" - ").append(message).append("\n");
    EXPECT_NE(out.find(record), std::string::npos);
  }
  EXPECT_EQ(readFile(logPath_).size(), 3 * (9 + 6 + 3 + 1023 + 1) + 8 + 600 + 5000);
}

TEST_F(LoggingTest, NoEchoWritesOnlyTheFile) {
  configureLogging("info", false, logPath_.c_str(), 20480000);
  std::string out = captureStdout([] { logMessage(kInfo, getLogger("Main"), "quiet"); });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(std::regex_match(readFile(logPath_), kRecord));
}

TEST_F(LoggingTest, NothingIsWrittenBeforeConfiguration) {
  std::string out = captureStdout([] { logMessage(kEmerg, getLogger("Main"), "early"); });
  EXPECT_EQ(out, "");
  EXPECT_FALSE(fs::exists(logPath_));
}

TEST_F(LoggingTest, SecondConfigurationChangesNothing) {
  configureLogging("info", false, logPath_.c_str(), 20480000);
  std::string other = (dir_ / "other.log").string();
  configureLogging("DEBUG", true, other.c_str(), 1);
  const LoggingState& state = loggingState();
  EXPECT_EQ(state.thresholdLevel, kInfo);
  EXPECT_FALSE(state.echoToConsole);
  EXPECT_EQ(state.maxLogSize, 20480000);
  EXPECT_EQ(state.logBaseName, logPath_);
  std::string out = captureStdout([] { logMessage(kDebug, getLogger("Main"), "debug"); });
  EXPECT_EQ(out, "");
  EXPECT_FALSE(fs::exists(other));
}

TEST_F(LoggingTest, SecondConfigurationDoesNotRetryAFailedOpen) {
  std::string unopenable = (dir_ / "missing" / "varnick.log").string();
  configureLogging("info", true, unopenable.c_str(), 20480000);
  configureLogging("info", true, logPath_.c_str(), 20480000);
  EXPECT_EQ(loggingState().logStream.get(), nullptr);
  EXPECT_TRUE(loggingState().configured);
}

TEST_F(LoggingTest, UnopenableLogFileStillEchoesToConsole) {
  std::string unopenable = (dir_ / "missing" / "varnick.log").string();
  configureLogging("info", true, unopenable.c_str(), 1);
  std::string out = captureStdout([] {
    logMessage(kInfo, getLogger("Main"), "first");
    logMessage(kInfo, getLogger("Main"), "second");
  });
  EXPECT_NE(out.find(" INFO  Main - first\n"), std::string::npos);
  EXPECT_NE(out.find(" INFO  Main - second\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(unopenable));
}

// The record that says the log file was left alone, without its time.
std::string leftAloneRecord(const std::string& name) {
  return "ERROR Main - Log file " + name +
         " is not a plain file with one link; records go to standard output only\n";
}

// `text` with the time of day cut from the start of each record.
std::string withoutTimes(const std::string& text) {
  std::istringstream lines(text);
  std::string result;
  std::string line;
  while (std::getline(lines, line))
    result.append(line.substr(std::min<std::size_t>(9, line.size()))).append("\n");
  return result;
}

// What another program planted at the log file's name: a link to a victim
// file beside it, or to a victim that does not exist.
struct PlantedLink {
  const char* name;
  bool hardLink;
  bool victimExists;
};

void PrintTo(const PlantedLink& link, std::ostream* os) { *os << link.name; }

class LinkAtLogNameTest : public LoggingTest, public ::testing::WithParamInterface<PlantedLink> {};

TEST_P(LinkAtLogNameTest, IsLeftAloneAndRecordsGoToTheConsoleOnly) {
  const PlantedLink& link = GetParam();
  const fs::path victim = dir_ / "victim";
  if (link.victimExists) std::ofstream(victim, std::ios::binary) << "victim\n";
  if (link.hardLink) {
    fs::create_hard_link(victim, logPath_);
  } else {
    fs::create_symlink(victim, logPath_);
  }
  // A limit of 1 would rotate the file at the second record, were it open.
  std::string out = captureStdout([&] {
    configureLogging("info", true, logPath_.c_str(), 1);
    logMessage(kInfo, getLogger("Main"), "first");
    logMessage(kInfo, getLogger("Main"), "second");
  });

  EXPECT_EQ(withoutTimes(out),
            leftAloneRecord(logPath_) + "INFO  Main - first\nINFO  Main - second\n");
  EXPECT_EQ(loggingState().logStream.get(), nullptr);
  if (link.victimExists) {
    EXPECT_EQ(readFile(victim), "victim\n");
  } else {
    EXPECT_FALSE(fs::exists(victim));
  }
  EXPECT_FALSE(fs::exists(logPath_ + ".1"));
}

INSTANTIATE_TEST_SUITE_P(Logging, LinkAtLogNameTest,
                         ::testing::Values(PlantedLink{"Symlink", false, true},
                                           PlantedLink{"HardLink", true, true},
                                           // Creating the log through it would create the victim.
                                           PlantedLink{"DanglingSymlink", false, false}),
                         [](const ::testing::TestParamInfo<PlantedLink>& info) {
                           return std::string(info.param.name);
                         });

TEST(LoggerRegistry, SameNameSameLoggerAndCaseMatters) {
  Logger* server = getLogger("Server");
  EXPECT_EQ(getLogger("Server"), server);
  EXPECT_EQ(server->categoryName, "Server");
  Logger* lower = getLogger("server");
  EXPECT_NE(lower, server);
  EXPECT_EQ(lower->categoryName, "server");
  EXPECT_NE(getLogger("Server "), server);
  EXPECT_EQ(getLogger(std::string("Ser\0ver", 7))->categoryName.size(), 7u);
}

}  // namespace
}  // namespace varnick
