#include "session/report_notes.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(ReportNotes, NameTheLineTheSessionAndTheCodeWithTheLinesControlCharactersShown) {
  const std::string at = "2026-12-07 13:25:03";
  struct Case {
    ReportItem item;
    const char* note;
  } cases[] = {
      {{ReportKind::kRemoved, "10.0.0.1 a.test", at},
       "removed '10.0.0.1 a.test', left by an interrupted session that started 2026-12-07 "
       "13:25:03"},
      {{ReportKind::kSkipped, "10.0.0.1 a\x1b.test"},
       "skipped '10.0.0.1 a\\x1B.test', added by an interrupted session that started at an "
       "unknown time: it is no longer in the hosts file"},
      {{ReportKind::kRecoveryFailed, "C:\\hosts.varnick-session-1.journal", at,
        "the hosts file could not be read", 32},
       "could not put right an interrupted session that started 2026-12-07 13:25:03: the hosts "
       "file could not be read (error 32); its journal C:\\hosts.varnick-session-1.journal is "
       "kept for the next recovery"},
      {{ReportKind::kLockRemoveFailed, "C:\\hosts", {}, {}, 5},
       "could not remove the lock file C:\\hosts (error 5)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(reportNote(c.item), c.note);
}

}  // namespace
}  // namespace varnick::control
