#include "control/session_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "hosts/session_journal.h"

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
        "put right an interrupted session that started " + at + ", and removed its journal"}},
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
  // The end of a session: only its own Varnick's records, by its port.
  EXPECT_EQ(sessionEndNotes("13:25:40 INFO  Server - Session on port 5000 took out '10.0.0.1 a'\r\n"
                            "13:25:40 INFO  Server - Session on port 50001 took out 'theirs'\r\n"
                            "13:25:40 INFO  Server - Session on port 5000 left 'b\x0b': no "
                            "longer a line of the hosts file\r\n" +
                                recovery("Session on port 5000 took out 'c'"),
                            5000),
            (std::vector<std::string>{"took out '10.0.0.1 a'",
                                      "left 'b\\x0B': someone changed or removed that line of "
                                      "the hosts file meanwhile"}));
  // Events name the removed lines alone, with their sessions' start.
  EXPECT_EQ(recoveredLines(cases[0].log + recovery("Removed 'a' left by the session started x") +
                           cases[std::size(cases) - 2].log),
            (std::vector<RecoveredLine>{{"10.0.0.1 a.test", at}, {"a", "x"}}));
}

TEST(SizeText, BytesThenTenthsOfTheLargestUnitBelow1024) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 bytes"},
      {1, "1 byte"},
      {1023, "1023 bytes"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1075, "1.0 KB"},  // 1.049: rounded down
      {1076, "1.1 KB"},  // 1.051: rounded up
      // 1023.96 KB rounds to a whole MB, not to 1024.0 KB.
      {1048575, "1.0 MB"},
      {5 * 1048576 + 943719, "5.9 MB"},
      {std::uint64_t{1} << 40, "1.0 TB"},
      // No larger unit: TB goes on counting, and nothing overflows.
      {UINT64_MAX, "16777216.0 TB"},
  };
  for (const auto& [bytes, text] : cases)
    EXPECT_EQ(sizeText(bytes), text) << bytes;
}

TEST(StatusLines, NameWhatRunsWhatIsLeftAndHowToTakeItOut) {
  const std::string kRecover =
      "  to take its entries out of the hosts file, run: varnick-session --recover";
  const std::string kDelCopies =
      "  varnick del leaves one each time; other programs may name files so too: look at "
      "them (dir \"%TEMP%\\hos*.tmp\") before deleting any";
  const std::string journal = journalHeader("2026-12-07 13:25:03") +
                              appendedRecord("10.0.0.1 a.test", LineStart::kOwnLine) +
                              appendedRecord("10.0.0.2 b\x0b.test", LineStart::kOwnLine);
  StatusFacts quiet;
  quiet.hostsFile = FileFact{"C:\\etc\\hosts", 27};
  quiet.server = Running::kHidden;
  quiet.tempFolder = "C:\\Temp";
  quiet.log = FileFact{"C:\\L\\varnick.log", std::nullopt};
  const JournalFact left{
      {"C:\\etc\\j.journal", 88}, {"C:\\etc\\j.backup", std::nullopt}, false, journal, 0};
  auto with = [&quiet](auto change) {
    StatusFacts facts = quiet;
    change(facts);
    return facts;
  };
  struct Case {
    const char* name;
    StatusFacts facts;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"nothing left",
       quiet,
       {"hosts file: C:\\etc\\hosts (27 bytes)", "sessions: none is running",
        "interrupted sessions: none", "temporary copies from varnick del: none in C:\\Temp",
        "varnick.log: C:\\L\\varnick.log (not there)"},
       {kRecover, kDelCopies}},
      {"an interrupted session",
       with([&left](StatusFacts& f) { f.journals = {left}; }),
       {"interrupted session: started 2026-12-07 13:25:03, 2 entries in the hosts file",
        "  entry: 10.0.0.1 a.test", "  entry: 10.0.0.2 b\\x0B.test",
        "  journal: C:\\etc\\j.journal (88 bytes)", kRecover},
       {"interrupted sessions: none", "  backup: C:\\etc\\j.backup (not there)"}},
      // A running session's journal is no leftover, and the recovery leaves
      // it alone; one whose lines are out already has nothing in the file.
      {"two running sessions, and an older Varnick's backup",
       with([&left](StatusFacts& f) {
         JournalFact running = left;
         running.running = true;
         running.backup.size = 1200;
         f.journals = {running, running};
       }),
       {"sessions: 2 are running",
        "running session: started 2026-12-07 13:25:03, 2 entries in the hosts file",
        "  backup: C:\\etc\\j.backup (1.2 KB)", "interrupted sessions: none"},
       {kRecover}},
      {"an interrupted session whose lines are out",
       with([&left, &journal](StatusFacts& f) {
         JournalFact out = left;
         out.bytes = journal + takenOutRecord();
         f.journals = {out};
       }),
       {"interrupted session: started 2026-12-07 13:25:03, 0 entries in the hosts file", kRecover},
       {"  entry: 10.0.0.1 a.test"}},
      {"a journal that is not one, and one that cannot be read",
       with([&left](StatusFacts& f) {
         JournalFact garbled = left;
         garbled.bytes = "not a journal\r\n";
         JournalFact held = left;
         held.bytes.reset();
         held.readError = 32;
         f.journals = {garbled, held};
       }),
       {"interrupted session: its journal cannot be read (not a session journal)",
        "interrupted session: its journal cannot be read (error 32)", kRecover},
       {"  entry: 10.0.0.1 a.test"}},
      {"temporary copies",
       with([](StatusFacts& f) {
         f.tempCopies = 3;
         f.tempBytes = 3000;
       }),
       {"temporary copies from varnick del: 3 in C:\\Temp, 2.9 KB in all", kDelCopies},
       {}},
      {"a server seen from an elevated prompt",
       with([](StatusFacts& f) { f.server = Running::kYes; }),
       {"server: a Varnick is serving (a varnick server, or a session's Varnick)"},
       {}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines = statusLines(c.facts);
    auto has = [&lines](const std::string& line) {
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    for (const std::string& line : c.present)
      EXPECT_TRUE(has(line)) << c.name << ": " << line;
    for (const std::string& line : c.absent)
      EXPECT_FALSE(has(line)) << c.name << ": " << line;
  }
}

}  // namespace
}  // namespace varnick::control
