#include "log/rotation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "log/log_file.h"
#include "log/logging.h"
#include "log/logging_state.h"

namespace varnick {
namespace {

namespace fs = std::filesystem;

// "hh:mm:ss INFO  Main - ": the part of an INFO record of "Main" before the
// message; the clock always prints two digits per field.
constexpr std::size_t kInfoMainPrefix = 22;

std::size_t recordLength(const std::string& message) {
  return kInfoMainPrefix + message.size() + 1;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// What a test writes into copy `number` before a rotation.
std::string copyText(int number) { return "copy " + std::to_string(number); }

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The message of each record in `text`, in order.
std::vector<std::string> messages(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t dash = line.find(" - ");
    result.push_back(dash == std::string::npos ? "<not a record: " + line + ">"
                                               : line.substr(dash + 3));
  }
  return result;
}

class RotationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingState();
    setLogFileMoverForTesting({});
    dir_ =
        fs::temp_directory_path() /
        ("varnick_rotation_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    base_ = (dir_ / "varnick.log").string();
  }
  void TearDown() override {
    resetLoggingState();
    setLogFileMoverForTesting({});
    fs::remove_all(dir_);
  }

  std::string copy(int number) const { return logCopyName(base_, number); }

  // Configures the log, with echo, over a log file that already holds
  // `content`.
  void configureOver(const std::string& content, std::int32_t limit) {
    writeFile(base_, content);
    configureLogging("info", true, base_.c_str(), limit);
  }

  // Logs `message` at `level` to "Main" and returns what reached the console.
  static std::string log(const std::string& message, LogLevel level = kInfo) {
    ::testing::internal::CaptureStdout();
    logMessage(level, getLogger("Main"), "%s", message.c_str());
    return ::testing::internal::GetCapturedStdout();
  }

  // Numbers 0 to 12 that have a copy on disk, to catch stray names too.
  std::set<int> copiesPresent() const {
    std::set<int> present;
    for (int number = 0; number <= kLogCopies + 2; ++number) {
      if (fs::exists(copy(number))) present.insert(number);
    }
    return present;
  }

  fs::path dir_;
  std::string base_;
};

TEST(LogCopyName, SuffixesOneToTenWithoutLeadingZeros) {
  const struct {
    const char* base;
    int number;
    const char* name;
  } cases[] = {
      {"varnick.log", 1, "varnick.log.1"}, {"varnick.log", 2, "varnick.log.2"},
      {"varnick.log", 9, "varnick.log.9"}, {"varnick.log", 10, "varnick.log.10"},
      {"logs/x.txt", 3, "logs/x.txt.3"},   {"C:\\w\\varnick.log", 10, "C:\\w\\varnick.log.10"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(logCopyName(c.base, c.number), c.name);
}

TEST_F(RotationTest, TenRenamesFromTheHighestDownThenTheLogFileWhateverTheyReturn) {
  configureOver("current", 1);
  std::vector<std::pair<std::string, std::string>> moves;
  // Every move fails: the sequence still runs to its end and reopens.
  setLogFileMoverForTesting([&](const std::string& from, const std::string& to) {
    moves.emplace_back(from, to);
    return false;
  });
  rotateLogFile();

  std::vector<std::pair<std::string, std::string>> expected;
  for (int number = 9; number >= 1; --number)
    expected.emplace_back(copy(number), copy(number + 1));
  expected.emplace_back(base_, copy(1));
  EXPECT_EQ(moves, expected);
  ASSERT_NE(loggingState().logStream.get(), nullptr);
  EXPECT_EQ(readFile(base_), "current");
}

// Which copies exist before a rotation, and what each number holds after it:
// "log" for the log file, "copy N" for the old copy N, "victim" for a link
// that another program planted at copy `linkAt` (0 for none), leading to a
// file beside the copies.
struct ShiftCase {
  const char* name;
  std::set<int> before;
  std::map<int, std::string> after;
  int linkAt = 0;
  bool hardLink = false;
};

void PrintTo(const ShiftCase& c, std::ostream* os) { *os << c.name; }

class CopyShiftTest : public RotationTest, public ::testing::WithParamInterface<ShiftCase> {};

TEST_P(CopyShiftTest, CopiesMoveUpOneNumber) {
  const ShiftCase& c = GetParam();
  for (int number : c.before)
    writeFile(copy(number), copyText(number));
  const fs::path victim = dir_ / "victim";
  if (c.linkAt != 0) {
    writeFile(victim, "victim");
    if (c.hardLink) {
      fs::create_hard_link(victim, copy(c.linkAt));
    } else {
      fs::create_symlink(victim, copy(c.linkAt));
    }
  }
  configureOver("log", 1);
  rotateLogFile();

  std::set<int> expectedNumbers;
  for (const auto& [number, content] : c.after) {
    expectedNumbers.insert(number);
    EXPECT_EQ(readFile(copy(number)), content) << "copy " << number;
  }
  EXPECT_EQ(copiesPresent(), expectedNumbers);
  // The file a link leads to is neither moved nor changed.
  if (c.linkAt != 0) EXPECT_EQ(readFile(victim), "victim");
  // The base name holds a fresh, empty file, open for the next record.
  EXPECT_EQ(readFile(base_), "");
  EXPECT_NE(loggingState().logStream.get(), nullptr);
}

std::map<int, std::string> allTenShifted() {
  std::map<int, std::string> after{{1, "log"}};
  for (int number = 2; number <= 10; ++number)
    after[number] = copyText(number - 1);
  return after;
}

INSTANTIATE_TEST_SUITE_P(
    Rotation, CopyShiftTest,
    ::testing::Values(
        ShiftCase{"NoCopiesYet", {}, {{1, "log"}}},
        ShiftCase{
            "ThreeCopies", {1, 2, 3}, {{1, "log"}, {2, "copy 1"}, {3, "copy 2"}, {4, "copy 3"}}},
        ShiftCase{"TenCopiesOldestDiscarded", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, allTenShifted()},
        ShiftCase{
            "GapMovesUp", {1, 2, 4}, {{1, "log"}, {2, "copy 1"}, {3, "copy 2"}, {5, "copy 4"}}},
        // A missing source leaves the target in place: copy 10 is not
        // removed unless copy 9 replaces it.
        ShiftCase{"MissingNineKeepsTen", {10}, {{1, "log"}, {10, "copy 10"}}},
        ShiftCase{"SparseCopies", {3, 9, 10}, {{1, "log"}, {4, "copy 3"}, {10, "copy 9"}}},
        // A link is not a copy: it stays where it is, and so does its target.
        ShiftCase{"SymlinkAtACopyStays", {}, {{1, "log"}, {3, "victim"}}, 3},
        ShiftCase{"HardLinkAtACopyStays", {}, {{1, "log"}, {3, "victim"}}, 3, true},
        // A copy moved onto a link replaces the link, not what it leads to.
        ShiftCase{"CopyReplacesASymlink", {2}, {{1, "log"}, {3, "copy 2"}}, 3}),
    [](const ::testing::TestParamInfo<ShiftCase>& info) { return std::string(info.param.name); });

TEST_F(RotationTest, FileOverTheLimitAtStartGetsOneRecordThenRotatesBeforeTheNext) {
  const std::string earlier(101, 'e');
  configureOver(earlier, 100);
  // The fresh stream's position reads 0 until it has written.
  std::string firstOut = log("first");
  EXPECT_EQ(copiesPresent(), std::set<int>{});
  std::string triggerOut = log("trigger");

  EXPECT_EQ(copiesPresent(), std::set<int>{1});
  const std::string oldLog = readFile(copy(1));
  EXPECT_EQ(oldLog.substr(0, earlier.size()), earlier);
  EXPECT_EQ(messages(oldLog.substr(earlier.size())), std::vector<std::string>{"first"});
  // The record that triggered the rotation is the fresh file's first line,
  // and rotation itself printed nothing.
  EXPECT_EQ(readFile(base_), triggerOut);
  EXPECT_EQ(messages(triggerOut), std::vector<std::string>{"trigger"});
  EXPECT_EQ(messages(firstOut), std::vector<std::string>{"first"});
}

// How far the file is past the limit when the next record comes: exactly at
// the limit does not rotate, one byte more does.
class LimitTest : public RotationTest, public ::testing::WithParamInterface<int> {};

TEST_P(LimitTest, RotatesOnlyPastTheLimitOnTheNextRecordThatPassesTheFilter) {
  const int bytesOver = GetParam();
  const std::string earlier(40, 'e');
  const std::int32_t lengthAfterFirst =
      static_cast<std::int32_t>(earlier.size() + recordLength("first"));
  configureOver(earlier, lengthAfterFirst - bytesOver);
  log("first");
  ASSERT_EQ(fs::file_size(base_), static_cast<std::uintmax_t>(lengthAfterFirst));
  // Filtered records neither write nor check the size.
  log("dropped", kDebug);
  EXPECT_EQ(copiesPresent(), std::set<int>{});
  log("second");

  if (bytesOver > 0) {
    EXPECT_EQ(copiesPresent(), std::set<int>{1});
    EXPECT_EQ(messages(readFile(base_)), std::vector<std::string>{"second"});
  } else {
    EXPECT_EQ(copiesPresent(), std::set<int>{});
    EXPECT_EQ(messages(readFile(base_).substr(earlier.size())),
              (std::vector<std::string>{"first", "second"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Rotation, LimitTest, ::testing::Values(0, 1));

// A move that fails at rename `failing` (0 is ".9" to ".10", 9 the log file
// to ".1") does not stop the others.
class FailedMoveTest : public RotationTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedMoveTest, OtherRenamesAndTheReopeningStillRun) {
  const int failing = GetParam();
  for (int number = 1; number <= 10; ++number)
    writeFile(copy(number), copyText(number));
  configureOver("log", 1);
  std::vector<std::string> sources;
  setLogFileMoverForTesting([&](const std::string& from, const std::string& to) {
    sources.push_back(from);
    return static_cast<int>(sources.size()) - 1 != failing && moveLogFile(from, to);
  });
  rotateLogFile();

  ASSERT_EQ(sources.size(), 10u);
  ASSERT_NE(loggingState().logStream.get(), nullptr);
  // Every other move replaced its target, so each copy holds the one below
  // it, except the target of the failed move: the rename before had already
  // moved it on (only copy 10 has no rename before it and stays).
  const int target = 10 - failing;  // 1 for the log file's own move
  for (int number = 2; number <= 10; ++number) {
    if (number != target) EXPECT_EQ(readFile(copy(number)), copyText(number - 1)) << number;
  }
  if (target == 10) {
    EXPECT_EQ(readFile(copy(10)), "copy 10");
  } else {
    EXPECT_FALSE(fs::exists(copy(target)));
  }
  if (target == 1) {
    EXPECT_EQ(readFile(base_), "log");
  } else {
    EXPECT_EQ(readFile(copy(1)), "log");
    EXPECT_EQ(readFile(base_), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Rotation, FailedMoveTest, ::testing::Values(0, 4, 8, 9));

TEST_F(RotationTest, LogFileThatCannotBeMovedKeepsItsRecordsAndEveryRecordRetries) {
  const std::string earlier(101, 'e');
  configureOver(earlier, 100);
  int logFileMoves = 0;
  setLogFileMoverForTesting([&](const std::string& from, const std::string& to) {
    if (from == base_) {
      ++logFileMoves;
      return false;  // as when another process holds it open
    }
    return moveLogFile(from, to);
  });
  log("first");
  EXPECT_EQ(logFileMoves, 0);
  log("trigger");
  EXPECT_EQ(logFileMoves, 1);
  log("later");
  EXPECT_EQ(logFileMoves, 2);

  const std::string text = readFile(base_);
  EXPECT_EQ(text.substr(0, earlier.size()), earlier);
  EXPECT_EQ(messages(text.substr(earlier.size())),
            (std::vector<std::string>{"first", "trigger", "later"}));
  EXPECT_FALSE(fs::exists(copy(1)));
}

TEST_F(RotationTest, LinkPutInPlaceOfTheLogFileIsNeitherMovedNorReopened) {
  configureOver(std::string(101, 'e'), 100);
  log("first");
  // Another program moves the open log file away and plants a link.
  const fs::path victim = dir_ / "victim";
  writeFile(victim, "victim");
  fs::rename(base_, dir_ / "moved-away");
  fs::create_symlink(victim, base_);
  std::string out = log("trigger");

  EXPECT_EQ(messages(out), (std::vector<std::string>{
                               "Log file " + base_ +
                                   " is not a plain file with one link; records go to standard "
                                   "output only",
                               "trigger"}));
  EXPECT_EQ(loggingState().logStream.get(), nullptr);
  EXPECT_EQ(readFile(victim), "victim");
  EXPECT_TRUE(fs::is_symlink(base_));
  EXPECT_EQ(copiesPresent(), std::set<int>{});
  // From then on the console only, without a second word about it.
  EXPECT_EQ(messages(log("later")), std::vector<std::string>{"later"});
}

TEST_F(RotationTest, FailedReopeningLeavesTheConsoleOnlyAndNeverRotatesAgain) {
  configureOver(std::string(101, 'e'), 100);
  int moves = 0;
  // Moves for real, then puts a directory where the fresh file should go.
  setLogFileMoverForTesting([&](const std::string& from, const std::string& to) {
    ++moves;
    bool moved = moveLogFile(from, to);
    if (from == base_) fs::create_directory(base_);
    return moved;
  });
  log("first");
  std::string out = log("trigger");
  EXPECT_EQ(moves, 10);
  EXPECT_EQ(loggingState().logStream.get(), nullptr);
  EXPECT_EQ(messages(out), std::vector<std::string>{"trigger"});
  EXPECT_EQ(messages(readFile(copy(1)).substr(101)), std::vector<std::string>{"first"});

  out = log("after");
  EXPECT_EQ(messages(out), std::vector<std::string>{"after"});
  EXPECT_EQ(moves, 10);
  EXPECT_TRUE(fs::is_directory(base_));
  EXPECT_EQ(copiesPresent(), std::set<int>{1});
}

}  // namespace
}  // namespace varnick
