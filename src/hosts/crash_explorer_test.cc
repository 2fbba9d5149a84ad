// A session's hosts file work cut at every operation, the way SQLite tests
// its commit: a store in memory records each operation of an add, a
// take-out and a recovery; for each prefix of them, every disk a power cut
// could leave is recovered as a start recovers it, and must hold exactly
// the lines that were not the session's.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "hosts/journal_file.h"
#include "hosts/memory_store.h"
#include "hosts/session_append.h"
#include "hosts/take_out.h"

namespace varnick {
namespace {

constexpr std::string_view kFirstEntry = "127.0.0.1 one.test";
constexpr std::string_view kSecondEntry = "127.0.0.1 two.test";
// Another program's lines: one between the session's appends, one in the
// middle of its take-out, which must start its round over.
const std::string kOtherLines[] = {"10.9.9.9 other.test", "10.9.9.8 late.test"};
const std::string kHosts = MemoryStore::kHostsName;

// Whose operations are cut.
enum class Cut { kAdd, kTakeOut, kRecovery };

struct Operation {
  const char* name;
  Cut cut;
  bool mountPoint;  // the hosts file is a mount point of its own: rewritten in place
};

struct HostsFile {
  const char* name;
  std::string_view lineEnd;
  std::string_view original;  // before the session
};

struct Case {
  Operation operation;
  HostsFile hosts;
};

// The hosts file once the session's lines are out, with the first `others`
// lines of the other program. Its first line follows the session's first
// line, which ends in a line end: a separator before that line stays as
// the other line's start.
std::string expectedHosts(const HostsFile& file, std::size_t others) {
  std::string hosts(file.original);
  if (others > 0 && !hosts.empty() && hosts.back() != '\n')
    hosts.append(hosts.back() == '\r' ? kCrLf : file.lineEnd);
  for (std::size_t i = 0; i < others; ++i)
    hosts.append(kOtherLines[i]).append(file.lineEnd);
  return hosts;
}

// A session on `store`: its journal, two lines with another program's
// between them, then its take-out, in whose middle the other program
// appends again, and the journal's removal. `takeOutFrom` gets the last
// step before the take-out.
void runSession(MemoryStore& store, const Case& c, std::size_t& takeOutFrom) {
  StoreResult<std::string> name = nameSessionJournal(store);
  ASSERT_TRUE(name);
  JournalFile journal;
  ASSERT_TRUE(journal.create(store, *name, "2026-12-08 10:00:00"));
  ASSERT_TRUE(appendJournaled(store, journal, kFirstEntry).appended);
  store.appendAsAnotherProgram(kOtherLines[0]);
  ASSERT_TRUE(appendJournaled(store, journal, kSecondEntry).appended);
  takeOutFrom = store.steps().size() - 1;
  store.appendAsAnotherProgramAfter("create .hosts.varnick-new", kOtherLines[1]);
  TakeOutResult out = takeOutLines(store, journal, journal.lines());
  ASSERT_TRUE(out.done) << failureReason(out.done.error());
  EXPECT_EQ(out.change,
            c.operation.mountPoint ? HostsChange::kRewrittenInPlace : HostsChange::kReplaced);
  ASSERT_TRUE(journal.removeAndClose());
  ASSERT_EQ(store.disk().contents().at(kHosts), expectedHosts(c.hosts, std::size(kOtherLines)));
}

// Recovers every journal it finds, as a start does: what failed, or nothing.
std::string recoverAll(HostsStore& store) {
  StoreResult<std::vector<std::string>> journals = findSessionJournals(store);
  if (!journals) return "the journals could not be listed";
  for (const std::string& name : *journals) {
    RecoveryResult result = recoverSession(store, name);
    if (!result.done)
      return "the recovery of " + name + " failed: " + failureReason(result.done.error());
  }
  return {};
}

// What is wrong with the disk that a recovery makes of `crashed`; nothing
// when it is right. `recovery`, when given, gets that recovery's steps.
std::string recoveryProblem(const Case& c, const MemoryDisk& crashed, const std::string& expected,
                            std::vector<MemoryStep>* recovery) {
  MemoryStore store(crashed, c.hosts.lineEnd, c.operation.mountPoint);
  if (std::string failed = recoverAll(store); !failed.empty()) return failed;
  if (recovery != nullptr) *recovery = store.steps();
  const std::map<std::string, std::string> files = store.disk().contents();
  const auto hosts = files.find(kHosts);
  if (hosts == files.end()) return "no hosts file is left";
  if (hosts->second != expected) {
    return "the hosts file holds " + ::testing::PrintToString(hosts->second) + ", not " +
           ::testing::PrintToString(expected);
  }
  for (const auto& [name, bytes] : files) {
    if (isSessionJournalName(name, kHosts)) return "a journal is left: " + name;
  }
  if (std::string failed = recoverAll(store); !failed.empty()) return "once more, " + failed;
  if (store.disk().contents() != files) return "a second recovery changed the disk";
  return {};
}

std::string shown(const MemoryDisk& disk) {
  std::string text;
  for (const auto& [name, bytes] : disk.contents())
    text.append("\n  ").append(name).append(": ").append(::testing::PrintToString(bytes));
  return text;
}

// The cuts made, the distinct crash states they left, and the first that
// was wrong.
struct Tally {
  std::size_t cuts = 0;
  std::set<std::string> seen;
  std::size_t wrong = 0;
  std::string first;

  // Whether `crashed` is new: recovery is deterministic, so a disk met
  // before, with the same lines expected, would only be checked again.
  bool isNew(const MemoryDisk& crashed, const std::string& expected) {
    ++cuts;
    std::string key = expected;
    for (const auto& [name, inode] : crashed.names) {
      key.append(1, '\0').append(name).append(1, '\0').append(std::to_string(inode));
      key.append(1, '\0').append(crashed.inodes.at(inode).current);
    }
    return seen.insert(std::move(key)).second;
  }

  void check(const std::string& problem, const std::string& where, const MemoryDisk& crashed) {
    if (problem.empty()) return;
    if (wrong++ == 0)
      first = "Cut " + where + ": " + problem + "\nThe disk it left:" + shown(crashed);
  }
};

// A power cut can leave any write half done but an append to the hosts
// file: that is one line in one small write, and a line cut in half would
// be no entry that a recovery could find again.
bool tears(const std::string& name, bool appended) { return !appended || name != kHosts; }

class CrashExplorer : public ::testing::TestWithParam<std::tuple<Operation, HostsFile>> {};

TEST_P(CrashExplorer, RecoveryLeavesExactlyTheLinesNotTheSessions) {
  const Case c{std::get<0>(GetParam()), std::get<1>(GetParam())};
  MemoryStore store(MemoryDisk::holding(kHosts, std::string(c.hosts.original)), c.hosts.lineEnd,
                    c.operation.mountPoint);
  std::size_t takeOutFrom = 0;
  ASSERT_NO_FATAL_FAILURE(runSession(store, c, takeOutFrom));
  const std::vector<MemoryStep>& steps = store.steps();
  const Cut cut = c.operation.cut;
  const std::size_t from = cut == Cut::kTakeOut ? takeOutFrom : 0;
  const std::size_t to = cut == Cut::kAdd ? takeOutFrom : steps.size() - 1;
  Tally tally;
  std::size_t others = 0;
  for (std::size_t step = 0; step <= to; ++step) {
    if (steps[step].operation == MemoryStore::kAnotherProgram) ++others;
    if (step < from) continue;
    const std::string expected = expectedHosts(c.hosts, others);
    for (const CrashState& state : crashStates(steps[step].disk, tears)) {
      if (!tally.isNew(state.disk, expected)) continue;
      const std::string where = "after step " + std::to_string(step) + " (" +
                                steps[step].operation + "), " + crashModeText(state.mode) +
                                (state.file.empty() ? "" : " (" + state.file + ")");
      std::vector<MemoryStep> recovery;
      tally.check(
          recoveryProblem(c, state.disk, expected, cut == Cut::kRecovery ? &recovery : nullptr),
          where, state.disk);
      // Each prefix of the recovery's own operations, cut again.
      for (std::size_t again = 1; again < recovery.size(); ++again) {
        for (const CrashState& twice : crashStates(recovery[again].disk, tears)) {
          if (!tally.isNew(twice.disk, expected)) continue;
          tally.check(recoveryProblem(c, twice.disk, expected, nullptr),
                      where + ", then its recovery cut after " + recovery[again].operation + ", " +
                          crashModeText(twice.mode),
                      twice.disk);
        }
      }
    }
  }
  std::printf("[ explorer ] %s on %s: %zu crash states checked (%zu cuts)\n", c.operation.name,
              c.hosts.name, tally.seen.size(), tally.cuts);
  RecordProperty("crash_states", static_cast<int>(tally.seen.size()));
  EXPECT_EQ(tally.wrong, 0u) << tally.first;
}

const Operation kOperations[] = {
    {"Add", Cut::kAdd, false},
    {"TakeOutReplacing", Cut::kTakeOut, false},
    {"TakeOutInPlace", Cut::kTakeOut, true},
    {"RecoveryReplacing", Cut::kRecovery, false},
    {"RecoveryInPlace", Cut::kRecovery, true},
};

const HostsFile kHostsFiles[] = {
    {"Lf", kLf, "127.0.0.1 localhost\n::1 localhost\n"},
    {"CrLfUnended", kCrLf, "127.0.0.1 localhost\r\n10.0.0.1 printer"},
    {"Empty", kLf, ""},
    // The separator after a CR is CR LF: the file's CR stays its line's own.
    {"LfEndsInCr", kLf, "127.0.0.1 localhost\r"},
};

void PrintTo(const Operation& operation, std::ostream* out) { *out << operation.name; }
void PrintTo(const HostsFile& file, std::ostream* out) { *out << file.name; }

INSTANTIATE_TEST_SUITE_P(
    Crash, CrashExplorer,
    ::testing::Combine(::testing::ValuesIn(kOperations), ::testing::ValuesIn(kHostsFiles)),
    [](const ::testing::TestParamInfo<std::tuple<Operation, HostsFile>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace varnick
