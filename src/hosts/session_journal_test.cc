#include "hosts/session_journal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "hosts/session_append.h"

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace varnick {

// So that a failure shows the entry and how it was appended.
void PrintTo(const JournalLine& line, std::ostream* out) {
  *out << (line.start == LineStart::kOwnLine ? "own " : "separated ")
       << ::testing::PrintToString(line.entry);
}

namespace {

JournalLine own(std::string entry) { return {std::move(entry), LineStart::kOwnLine}; }
JournalLine separated(std::string entry) { return {std::move(entry), LineStart::kAfterSeparator}; }

TEST(SessionJournal, ReadsEveryCutAsTheWholeRecordsBeforeIt) {
  const std::string kStarted = "2026-12-07 13:25:03";
  const JournalLine a = own("10.0.0.1 a.test");
  const JournalLine odd = separated(std::string("\r\n\0\xff x", 6));
  const JournalLine b = own("b");
  struct Step {
    std::string record;
    std::vector<JournalLine> lines;  // what the journal holds once the record is whole
    std::optional<std::string> takingOut;
    bool takenOut;
    std::optional<std::string> rewriting = std::nullopt;
  };
  const Step steps[] = {
      {appendedRecord(a.entry, a.start), {a}, std::nullopt, false},
      {appendedRecord(odd.entry, odd.start), {a, odd}, std::nullopt, false},
      {appendedRecord("", LineStart::kOwnLine), {a, odd, own("")}, std::nullopt, false},
      // The append failed after its record: that line does not count.
      {failedRecord(), {a, odd}, std::nullopt, false},
      {appendedRecord(b.entry, b.start), {a, odd, b}, std::nullopt, false},
      {takingOutRecord("00ab12"), {a, odd, b}, "00ab12", false},
      // A retry swaps in a file of its own.
      {takingOutRecord("00ab13"), {a, odd, b}, "00ab13", false},
      {takenOutRecord(), {a, odd, b}, std::nullopt, true},
      // A swap that could not be made, then the hosts file written over in place.
      {takingOutRecord("00ab14"), {a, odd, b}, "00ab14", false},
      {rewritingRecord(".hosts.varnick-Ab3dE9"),
       {a, odd, b},
       std::nullopt,
       false,
       ".hosts.varnick-Ab3dE9"},
      {takenOutRecord(), {a, odd, b}, std::nullopt, true},
      // A later take-out, and one whose D was written twice.
      {takingOutRecord("~!x"), {a, odd, b}, "~!x", false},
      {takenOutRecord(), {a, odd, b}, std::nullopt, true},
      {takenOutRecord(), {a, odd, b}, std::nullopt, true},
  };
  std::string journal = journalHeader(kStarted);
  const std::size_t header = journal.size();
  std::vector<std::size_t> ends;
  for (const Step& step : steps) {
    journal += step.record;
    ends.push_back(journal.size());
  }
  for (std::size_t cut = 0; cut <= journal.size(); ++cut) {
    const JournalRead read = readJournal(journal.substr(0, cut));
    if (cut < header) {
      EXPECT_EQ(read.state, JournalState::kCutInHeader) << cut;
      continue;
    }
    ASSERT_EQ(read.state, JournalState::kJournal) << cut;
    EXPECT_EQ(read.journal.started, kStarted) << cut;
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut)
      ++whole;
    EXPECT_EQ(read.wholeSize, whole == 0 ? header : ends[whole - 1]) << cut;
    const Step none{"", {}, std::nullopt, false};
    const Step& expected = whole == 0 ? none : steps[whole - 1];
    EXPECT_EQ(read.journal.lines, expected.lines) << cut;
    EXPECT_EQ(read.journal.takingOut, expected.takingOut) << cut;
    EXPECT_EQ(read.journal.takenOut, expected.takenOut) << cut;
    EXPECT_EQ(read.journal.rewriting, expected.rewriting) << cut;
  }
}

TEST(SessionJournal, ReadsTheFormatBeforeAndRefusesWhatIsNoJournal) {
  const std::string v1 = "varnick session journal 1\r\nstarted x\r\n";
  const std::string v2 = "varnick session journal 2\r\nstarted x\r\n";
  struct Case {
    const char* name;
    std::string content;
    JournalState state;
    std::vector<JournalLine> lines;
  };
  const Case cases[] = {
      {"format 1: each line was appended after a separator",
       v1 + "61\r\n0d0a\r\n\r\n62",
       JournalState::kJournal,
       {separated("a"), separated("\r\n"), separated("")}},
      {"format 1: a record that is not hex", v1 + "61\r\nzz\r\n", JournalState::kNotAJournal, {}},
      {"format 1 has no letters", v1 + "L 61\r\n", JournalState::kNotAJournal, {}},
      // A power cut may leave the end of a file zero-filled.
      {"a cut record, whatever it holds",
       v2 + "L 61\r\n" + std::string("\0\0\r", 3),
       JournalState::kJournal,
       {own("a")}},
      {"nothing yet", "", JournalState::kCutInHeader, {}},
      {"cut in the first line", "varnick sess", JournalState::kCutInHeader, {}},
      {"cut in \"started\"", "varnick session journal 2\r\nsta", JournalState::kCutInHeader, {}},
      {"cut between CR and LF",
       "varnick session journal 1\r\nstarted 2026-12-07\r",
       JournalState::kCutInHeader,
       {}},
      {"another format",
       "varnick session journal 3\r\nstarted x\r\n",
       JournalState::kNotAJournal,
       {}},
      {"no start", "varnick session journal 2\r\nbegun x\r\n", JournalState::kNotAJournal, {}},
      {"an unknown letter", v2 + "X 61\r\n", JournalState::kNotAJournal, {}},
      {"an empty record", v2 + "\r\n", JournalState::kNotAJournal, {}},
      {"a bad record before good ones", v2 + "Q\r\nL 61\r\n", JournalState::kNotAJournal, {}},
      {"capital hex", v2 + "L 4A\r\n", JournalState::kNotAJournal, {}},
      {"odd hex", v2 + "S 610\r\n", JournalState::kNotAJournal, {}},
      {"no blank after the letter", v2 + "L61\r\n", JournalState::kNotAJournal, {}},
      {"two blanks", v2 + "L  61\r\n", JournalState::kNotAJournal, {}},
      {"F with data", v2 + "L 61\r\nF 61\r\n", JournalState::kNotAJournal, {}},
      {"F with no line before it", v2 + "F\r\n", JournalState::kNotAJournal, {}},
      {"F twice", v2 + "L 61\r\nL 62\r\nF\r\nF\r\n", JournalState::kNotAJournal, {}},
      {"F after a take-out", v2 + "L 61\r\nT 1\r\nF\r\n", JournalState::kNotAJournal, {}},
      {"a line after a take-out", v2 + "T 1\r\nL 61\r\n", JournalState::kNotAJournal, {}},
      {"a line after a take-out is done",
       v2 + "T 1\r\nD\r\nS 61\r\n",
       JournalState::kNotAJournal,
       {}},
      {"T without a file", v2 + "T \r\n", JournalState::kNotAJournal, {}},
      {"T with a blank in the file", v2 + "T 1 2\r\n", JournalState::kNotAJournal, {}},
      {"T with a byte beyond ASCII", v2 + "T 1\xe9\r\n", JournalState::kNotAJournal, {}},
      {"R without the swap it stands in for",
       v2 + "L 61\r\nR c\r\n",
       JournalState::kNotAJournal,
       {}},
      {"R without a copy", v2 + "T 1\r\nR \r\n", JournalState::kNotAJournal, {}},
      {"a line after R", v2 + "T 1\r\nR c\r\nL 61\r\n", JournalState::kNotAJournal, {}},
      // The copy lies beside the hosts file: a name that leads anywhere else
      // would have a recovery read and remove another file.
      {"R naming a file in another folder",
       v2 + "L 61\r\nT 1\r\nR ../etc2/victim\r\n",
       JournalState::kNotAJournal,
       {}},
      {"R naming a Windows path", v2 + "T 1\r\nR C:victim\r\n", JournalState::kNotAJournal, {}},
      {"R naming a folder", v2 + "T 1\r\nR ..\r\n", JournalState::kNotAJournal, {}},
      {"R naming a subfolder's file", v2 + "T 1\r\nR a\\b\r\n", JournalState::kNotAJournal, {}},
  };
  for (const Case& c : cases) {
    const JournalRead read = readJournal(c.content);
    EXPECT_EQ(read.state, c.state) << c.name;
    EXPECT_EQ(read.journal.lines, c.lines) << c.name;
  }
  // A take-out that found none of the lines in the file needed no swap.
  EXPECT_TRUE(readJournal(v2 + "L 61\r\nD\r\n").journal.takenOut);
}

struct RemovalCase {
  const char* name;
  std::string hosts;
  std::vector<JournalLine> lines;
  std::string after;
  std::vector<std::string> missing;
};

TEST(RemoveSessionLines, TakesOutOnlyTheSessionsLinesFromTheEnd) {
  const RemovalCase cases[] = {
      {"the session's lines at the end",
       "127.0.0.1 localhost\r\n\r\na\r\nb\r\n",
       {own("a"), own("b")},
       "127.0.0.1 localhost\r\n\r\n",
       {}},
      {"another program's line after them stays",
       "x\r\na\r\nb\r\nother\r\n",
       {own("a"), own("b")},
       "x\r\nother\r\n",
       {}},
      // The same line from before the session stays: the later one goes.
      {"a twin from before the session",
       "x\r\na\r\nmine\r\na\r\n",
       {own("a")},
       "x\r\na\r\nmine\r\n",
       {}},
      {"a user's line that is also an entry stays",
       "a\r\nb\r\nx\r\na\r\nb\r\n",
       {own("a"), own("b")},
       "a\r\nb\r\nx\r\n",
       {}},
      {"a line that is gone is named", "x\r\nb\r\n", {own("a"), own("b")}, "x\r\n", {"a"}},
      // Only whole lines: one that another program extended is not ours.
      {"a longer line is not the entry", "x\r\nab\r\n", {own("a")}, "x\r\nab\r\n", {"a"}},
      {"nor is the end of a longer line", "x\r\nza\r\n", {own("a")}, "x\r\nza\r\n", {"a"}},
      {"an entry with an LF in it is no line", "a\nb\r\n", {own("a\nb")}, "a\nb\r\n", {"a\nb"}},
      {"the same entry twice", "x\r\na\r\ny\r\na\r\n", {own("a"), own("a")}, "x\r\ny\r\n", {}},
      {"no lines", "x\r\n", {}, "x\r\n", {}},
      {"LF line ends", "x\na\ny\nb\n", {own("a"), own("b")}, "x\ny\n", {}},
      {"the last line without its line end", "x\r\na", {own("a")}, "x\r\n", {}},
      // A CR belongs to the line end only before an LF.
      {"a CR at the very end is text", "x\r\na\r", {own("a")}, "x\r\na\r", {"a"}},
      // A file that ends in LF has no empty line after it.
      {"an empty entry is an empty line", "x\r\n\r\ny\r\n", {own("")}, "x\r\ny\r\n", {}},
      {"the separator goes when nothing stays after the line",
       "x\r\na\r\nb\r\n",
       {separated("a"), own("b")},
       "x",
       {}},
      {"the separator stays as the line end of the line before",
       "x\r\na\r\ny",
       {separated("a")},
       "x\r\ny",
       {}},
      {"a separated line after another program's line",
       "x\r\na\r\ny\r\nb\r\n",
       {separated("a"), separated("b")},
       "x\r\ny",
       {}},
      {"the separator of a line first in the file", "a\r\n", {separated("a")}, "", {}},
      {"another program's line right after ours",
       "x\r\na\r\n10.7.7.7 vpn.corp.test",
       {own("a")},
       "x\r\n10.7.7.7 vpn.corp.test",
       {}},
      {"format 1's lines", "x\r\na\r\nb", {separated("a"), separated("b")}, "x", {}},
  };
  for (const RemovalCase& c : cases) {
    LineRemoval result = removeSessionLines(c.hosts, c.lines);
    EXPECT_EQ(keptText(c.hosts, result), c.after) << c.name;
    EXPECT_EQ(result.missing, c.missing) << c.name;
    EXPECT_EQ(result.removed.size() + result.missing.size(), c.lines.size()) << c.name;
  }
}

// A hosts file in memory for appendJournaledLine.
class StringTarget final : public AppendTarget {
 public:
  explicit StringTarget(std::string& hosts) : hosts_(hosts) {}
  Expected<std::optional<char>, std::uint32_t> lastByte() override {
    if (hosts_.empty()) return std::optional<char>();
    return std::optional<char>(hosts_.back());
  }
  SystemResult append(std::string_view bytes) override {
    hosts_.append(bytes);
    return {};
  }

 private:
  std::string& hosts_;
};

// Appends `entry` to `hosts` as the session's Varnick does, with the
// system's `lineEnd`, and says how.
JournalLine append(std::string& hosts, const std::string& entry, std::string_view lineEnd) {
  StringTarget target(hosts);
  JournalLine line{entry, LineStart::kOwnLine};
  AppendResult result = appendJournaledLine(
      target, entry,
      [&line](LineStart start) {
        line.start = start;
        return SystemResult();
      },
      lineEnd);
  EXPECT_TRUE(result.ok());
  return line;
}

TEST(RemoveSessionLines, LeavesAFileThatNobodyElseChangedAsItWas) {
  const std::string files[] = {
      "",
      "x",
      "x\r\n",
      "x\n",
      "x\r",
      "\r\n",
      "127.0.0.1 localhost\r\n# b\r\n",
      "127.0.0.1 localhost\r\n# b",
      "a",
      "a\r\n",
  };
  const std::vector<std::string> sessions[] = {{"a"}, {"a", "b"}, {"a", "a"}, {""}, {"", "a"}};
  // Windows appends CR LF, Linux LF.
  for (std::string_view lineEnd : {kCrLf, kLf}) {
    for (const std::string& before : files) {
      for (const std::vector<std::string>& entries : sessions) {
        std::string hosts = before;
        std::vector<JournalLine> lines;
        lines.reserve(entries.size());
        for (const std::string& entry : entries)
          lines.push_back(append(hosts, entry, lineEnd));
        LineRemoval result = removeSessionLines(hosts, lines);
        EXPECT_EQ(keptText(hosts, result), before) << ::testing::PrintToString(hosts);
        EXPECT_EQ(result.removed, entries) << ::testing::PrintToString(hosts);
      }
    }
  }
}

// Scanning the file once per line would take minutes here.
TEST(RemoveSessionLines, TakesThousandsOfLinesOutOfALargeFile) {
  std::string hosts;
  for (int i = 0; hosts.size() < 1'800'000; ++i)
    hosts += "10.1." + std::to_string(i % 256) + ".1 host-" + std::to_string(i) + ".test\r\n";
  std::string expected = hosts;
  std::vector<JournalLine> lines;
  std::vector<std::string> missing;
  std::vector<std::string> ours;
  for (int i = 0; i < 5000; ++i) {
    ours.push_back("10.9.0.1 s" + std::to_string(i) + ".test");
    lines.push_back(append(hosts, ours.back(), kCrLf));
    // Lines taken out since, by hand or by another program.
    missing.push_back("10.8.0.1 m" + std::to_string(i) + ".test");
    lines.push_back(own(missing.back()));
    if (i % 7 == 0) {
      const std::string other = "10.7.0.1 o" + std::to_string(i) + ".test\r\n";
      hosts += other;
      expected += other;
    }
  }
  LineRemoval result = removeSessionLines(hosts, lines);
  EXPECT_TRUE(keptText(hosts, result) == expected);
  EXPECT_EQ(result.missing, missing);
  EXPECT_TRUE(result.removed == ours);
}

}  // namespace
}  // namespace varnick
