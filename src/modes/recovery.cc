#include "modes/recovery.h"

#include <string>
#include <vector>

namespace varnick {

bool finishTakeOut(HostsStore& store, const TakeOutResult& taken, JournalFile& journal,
                   WorkReport& report, Logger* log) {
  for (const std::string& line : taken.removal.removed)
    report.add({ReportKind::kTookOut, line});
  for (const std::string& line : taken.removal.missing)
    report.add({ReportKind::kLeft, line});
  if (taken.change == HostsChange::kRewrittenInPlace) {
    logMessage(kInfo, log,
               "The hosts file is a mount point of its own: rewritten in place, not replaced");
  }
  const std::string shown = store.shownPath(journal.name());
  if (!taken.done) {
    // Kept: a recovery takes the lines out later.
    journal.close();
    const TakeOutFailure& failure = taken.done.error();
    report.add({ReportKind::kTakeOutFailed, shown, {}, failureReason(failure), failure.code});
    return false;
  }
  if (StoreResult<void> removed = journal.removeAndClose(); !removed)
    report.add({ReportKind::kJournalKept, shown, {}, {}, removed.error().code});
  return true;
}

bool recoverInterruptedSessions(HostsStore& store, WorkReport& report, bool sayWhenNone) {
  StoreResult<std::vector<std::string>> found = findSessionJournals(store);
  if (!found) {
    report.add({ReportKind::kSearchFailed, {}, {}, {}, found.error().code});
    return false;
  }
  bool all = true;
  bool any = false;
  for (const std::string& name : *found) {
    RecoveryResult result = recoverSession(store, name);
    const std::string journal = store.shownPath(name);
    if (!result.done && result.done.error().step == TakeOutStep::kInUse) {
      // A running session's, most likely: its own Varnick takes its lines out.
      if (sayWhenNone) report.add({ReportKind::kLeftRunning, journal});
      continue;
    }
    any = true;
    for (const std::string& line : result.removal.removed)
      report.add({ReportKind::kRemoved, line, result.started});
    for (const std::string& line : result.removal.missing)
      report.add({ReportKind::kSkipped, line, result.started});
    if (result.done) {
      report.add({ReportKind::kRecovered, {}, result.started});
      continue;
    }
    all = false;
    const TakeOutFailure& failure = result.done.error();
    report.add({ReportKind::kRecoveryFailed, journal, result.started, failureReason(failure),
                failure.code});
  }
  if (!any && sayWhenNone) report.add({ReportKind::kNoneToRecover});
  return all;
}

bool createSessionJournal(HostsStore& store, JournalFile& journal, std::string_view started,
                          Logger* log) {
  StoreResult<std::string> name = nameSessionJournal(store);
  if (!name) {
    logMessage(kError, log,
               "Failed to name the session's journal: the system gave no random bytes");
    return false;
  }
  if (StoreResult<void> created = journal.create(store, *name, started); !created) {
    logMessage(kError, log, "Failed to create the session journal %s %d",
               store.shownPath(*name).c_str(), static_cast<int>(created.error().code));
    journal.removeAndClose().ignore();
    return false;
  }
  return true;
}

}  // namespace varnick
