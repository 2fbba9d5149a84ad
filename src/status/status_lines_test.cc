#include "status/status_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "hosts/session_journal.h"

namespace varnick::control {
namespace {

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
      // A folder that cannot be listed is said so, never taken for an empty one.
      {"folders that cannot be listed",
       with([](StatusFacts& f) {
         f.sessionFilesError = 5;
         f.tempListError = 3;
       }),
       {"interrupted sessions: the files beside the hosts file cannot be listed (error 5)",
        "temporary copies from varnick del: cannot be listed in C:\\Temp (error 3)"},
       {"interrupted sessions: none", "temporary copies from varnick del: none in C:\\Temp"}},
      {"the service, running and not",
       with([](StatusFacts& f) {
         f.service = ServiceFact{42, "names under .test", "", {"VM\\root (process 7): ::1 a.test"}};
       }),
       {"Varnick service: running (process 42); allows names under .test",
        "  held through it by VM\\root (process 7): ::1 a.test"},
       {}},
      {"a service that does not run",
       with([](StatusFacts& f) { f.service = ServiceFact{}; }),
       {"Varnick service: not running (varnick service install, elevated, sets it up)"},
       {}},
      {"a service that does not answer",
       with([](StatusFacts& f) {
         f.service = ServiceFact{42, "", "it did not answer", {}};
       }),
       {"Varnick service: running (process 42), but it did not answer"},
       {}},
      {"a server seen from an elevated prompt",
       with([](StatusFacts& f) { f.server = Running::kYes; }),
       {"server: a Varnick is serving (a varnick server, or a session's Varnick)"},
       {}},
      // Linux: no service, no temporary copies; root's view, and another
      // user's, who may name the journals but not open them.
      {"Linux, a mount point and a running session seen by root",
       with([&left](StatusFacts& f) {
         f.system = StatusSystem::kLinux;
         f.hostsFileMounted = true;
         f.server = Running::kYes;
         JournalFact running = left;
         running.running = true;
         f.journals = {running};
       }),
       {"sessions: 1 is running", "server: a privileged half is serving",
        "  a mount point of its own (bind-mounted, as in a container): a take-out rewrites it "
        "in place, after a copy of it is kept beside it",
        "running session: started 2026-12-07 13:25:03, 2 entries in the hosts file",
        "interrupted sessions: none"},
       {"temporary copies from varnick del: none in C:\\Temp", kRecover}},
      {"Linux, a journal another user may only name",
       with([&left](StatusFacts& f) {
         f.system = StatusSystem::kLinux;
         f.journalsOpened = false;
         f.journals = {left};
       }),
       {"sessions: 1 journal beside the hosts file; only root may open them and tell a running "
        "session from an interrupted one (sudo varnick-session --status)",
        "  journal: C:\\etc\\j.journal (88 bytes)",
        "server: only root may see whether a privileged half is serving (its lock is in "
        "/run/varnick)"},
       {"interrupted sessions: none", kRecover, "  entry: 10.0.0.1 a.test"}},
      {"Linux, no journal at all, seen by another user",
       with([](StatusFacts& f) {
         f.system = StatusSystem::kLinux;
         f.journalsOpened = false;
       }),
       {"sessions: none is running", "interrupted sessions: none"},
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
