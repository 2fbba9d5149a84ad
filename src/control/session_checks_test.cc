#include "control/session_checks.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(EntryProblem, OneLineOfAtMost254BytesWithoutControlCharacters) {
  struct Case {
    std::string bytes;
    bool refused;
  };
  const Case cases[] = {
      {"10.0.0.1 a.test", false},
      {std::string(254, 'x'), false},
      {std::string(255, 'x'), true},
      {"10.0.0.1 a.test\r\n10.0.0.2 b.test", true},
      {"a\rb", true},
      {"a\nb", true},
      {std::string("a\0b", 3), true},
      {"", false},
      {"10.0.0.1\ta.test", false},
      {"10.0.0.1 a.test\x0b", true},
      {"10.0.0.1 a\x0c.test", true},
      {"10.0.0.1 a.test\x1a", true},
      {"\x01", true},
      {"\x1f", true},
      {"10.0.0.1 a.test\x7f", true},
      // UTF-8 and OEM bytes above 0x7F are characters, not control bytes.
      {"10.0.0.1 caf\xc3\xa9.test", false},
      {"10.0.0.1 \x80\xff.test", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(entryProblem(c.bytes).has_value(), c.refused) << c.bytes;
}

TEST(VisibleText, KeepsAMessageOnOneLineAndShowsControlCharacters) {
  EXPECT_EQ(visibleText(std::string("a\r\nb\0c\\n", 8)), "a\\r\\nb\\0c\\n");
  EXPECT_EQ(visibleText("a\tb\x0b\x1a\x7f\xc3\xa9"), "a\tb\\x0B\\x1A\\x7F\xc3\xa9");
}

TEST(ChangedLines, NamesWhatOthersAddedAndRemoved) {
  const std::string expected = "127.0.0.1 localhost\r\n::1 localhost\r\n10.0.0.1 ours.test";
  struct Case {
    const char* name;
    std::string now;
    std::vector<std::string> added;
    std::vector<std::string> removed;
  };
  const Case cases[] = {
      {"unchanged", expected, {}, {}},
      {"a line appended", expected + "\r\n10.0.0.9 theirs.test", {"10.0.0.9 theirs.test"}, {}},
      {"a line removed", "127.0.0.1 localhost\r\n10.0.0.1 ours.test", {}, {"::1 localhost"}},
      // A second copy of a line that stands once is a change of its own.
      {"a line doubled", expected + "\r\n::1 localhost", {"::1 localhost"}, {}},
      // LF alone ends a line as CR LF does.
      {"other line ends", "127.0.0.1 localhost\n::1 localhost\n10.0.0.1 ours.test", {}, {}},
      {"emptied", "", {}, {"127.0.0.1 localhost", "::1 localhost", "10.0.0.1 ours.test"}},
  };
  for (const Case& c : cases) {
    LineChanges changes = changedLines(expected, c.now);
    EXPECT_EQ(changes.added, c.added) << c.name;
    EXPECT_EQ(changes.removed, c.removed) << c.name;
  }
}

TEST(RecoveryNotes, SaysWhatTheRecoveryRecordsSayAndNothingElse) {
  const std::string at = "2026-12-07 13:25:03";
  auto recovery = [](const std::string& message) {
    return "13:25:40 INFO  Recovery - " + message + "\r\n";
  };
  struct Case {
    const char* name;
    std::string log;
    std::vector<std::string> notes;
  };
  const Case cases[] = {
      {"a recovery",
       "13:25:40 INFO  Main - Using hosts file C:\\etc\\hosts\r\n" +
           recovery("Removed '10.0.0.1 a.test' left by the session started " + at) +
           recovery("Skipped '10.0.0.2 b.test' of the session started " + at +
                    ": no longer in the hosts file") +
           recovery("Recovered the interrupted session started " + at) +
           "13:25:40 INFO  Server - Removed 'x' left by the session started " + at + "\r\n",
       {"removed '10.0.0.1 a.test', left by an interrupted session that started " + at,
        "skipped '10.0.0.2 b.test', added by an interrupted session that started " + at +
            ": it is no longer in the hosts file",
        "put right an interrupted session that started " + at +
            ", and removed its backup and journal"}},
      {"nothing to do, LF alone",
       "13:25:40 INFO  Recovery - No interrupted session to recover\n",
       {"no interrupted session to recover"}},
      {"a failure, passed on",
       "13:25:40 ERROR Recovery - Failed to recover the session started at an unknown time: its "
       "journal could not be read 32; kept C:\\etc\\j\r\n",
       {"failed to recover the session started at an unknown time: its journal could not be read "
        "32; kept C:\\etc\\j"}},
      // Anyone's line may hold the words around it, or control characters.
      {"a line that holds the words",
       recovery("Removed 'a' left by the session started x\x1b' left by the session started " + at),
       {"removed 'a' left by the session started x\\x1B', left by an interrupted session that "
        "started " +
        at}},
      {"a record still being written",
       recovery("No interrupted session to recover") +
           "13:25:40 INFO  Recovery - Removed '10.0.0.1 a.test' left by the",
       {"no interrupted session to recover"}},
      {"not records", "\r\nRecovery - Removed 'x'\n13:25:40 INFO  Recovery -\n", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(recoveryNotes(c.log), c.notes) << c.name;
}

}  // namespace
}  // namespace varnick::control
