#include "control/log_notes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "hosts/session_journal.h"

namespace varnick::control {
namespace {

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

}  // namespace
}  // namespace varnick::control
