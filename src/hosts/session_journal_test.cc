#include "hosts/session_journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnick {
namespace {

TEST(SessionJournal, ReadsBackWhatWasWrittenAndDropsACutRecord) {
  const std::vector<std::string> entries = {"10.0.0.1 a.test", std::string("\r\n\0\xff x", 6), ""};
  std::string journal = journalHeader("2026-12-07 13:25:03");
  for (const std::string& entry : entries)
    journal += journalRecord(entry);
  // Every cut of the journal reads as a journal with the whole records
  // before the cut, or not at all before the header is whole.
  for (std::size_t cut = 0; cut <= journal.size(); ++cut) {
    std::optional<SessionJournal> read = parseJournal(journal.substr(0, cut));
    std::size_t header = journalHeader("2026-12-07 13:25:03").size();
    if (cut < header) {
      EXPECT_FALSE(read) << cut;
      continue;
    }
    ASSERT_TRUE(read) << cut;
    EXPECT_EQ(read->started, "2026-12-07 13:25:03");
    std::size_t whole = 0;
    for (std::size_t length = header; whole < entries.size(); ++whole) {
      length += journalRecord(entries[whole]).size();
      if (length > cut) break;
    }
    EXPECT_EQ(read->lines, std::vector<std::string>(entries.begin(), entries.begin() + whole))
        << cut;
  }
  EXPECT_FALSE(parseJournal("varnick session journal 1\r\nstarted x\r\nzz\r\n"));
}

struct RemovalCase {
  const char* name;
  std::string hosts;
  std::vector<std::string> lines;
  std::string after;
  std::vector<std::string> missing;
};

TEST(RemoveJournalLines, TakesOutOnlyTheSessionsLinesFromTheEnd) {
  const RemovalCase cases[] = {
      {"the session's lines at the end",
       "127.0.0.1 localhost\r\n\r\na\r\nb",
       {"a", "b"},
       "127.0.0.1 localhost\r\n",
       {}},
      {"another program's line after them stays",
       "x\r\na\r\nb\r\nother",
       {"a", "b"},
       "x\r\nother",
       {}},
      // The same line from before the session stays: the later one goes.
      {"a twin from before the session", "x\r\na\r\nmine\r\na", {"a"}, "x\r\na\r\nmine", {}},
      {"a line that is gone is named", "x\r\nb", {"a", "b"}, "x", {"a"}},
      // Only whole lines: one that another program extended is not ours.
      {"a longer line is not the entry", "x\r\nab", {"a"}, "x\r\nab", {"a"}},
      {"nor is the end of a longer line", "x\r\nza", {"a"}, "x\r\nza", {"a"}},
      {"the same entry twice", "x\r\na\r\ny\r\na", {"a", "a"}, "x\r\ny", {}},
      {"no lines", "x\r\n", {}, "x\r\n", {}},
  };
  for (const RemovalCase& c : cases) {
    LineRemoval result = removeJournalLines(c.hosts, c.lines);
    EXPECT_EQ(result.hosts, c.after) << c.name;
    EXPECT_EQ(result.missing, c.missing) << c.name;
    EXPECT_EQ(result.removed.size() + result.missing.size(), c.lines.size()) << c.name;
  }
}

}  // namespace
}  // namespace varnick
