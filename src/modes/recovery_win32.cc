#include "modes/recovery_win32.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/wide_text.h"

namespace varnick {
namespace {

// What stopped a take-out, as the records say it.
const char* takeOutFailure(TakeOutStep step) {
  switch (step) {
    case TakeOutStep::kJournalUnreadable:
      return "its journal could not be read";
    case TakeOutStep::kLockFailed:
      return "the write lock of the hosts file could not be taken";
    case TakeOutStep::kReadFailed:
      return "the hosts file could not be read";
    case TakeOutStep::kReplaceFailed:
      return "the hosts file could not be replaced";
    case TakeOutStep::kJournalFailed:
      return "its journal could not be written";
    case TakeOutStep::kKeptChanging:
      return "another program kept writing to the hosts file, rounds";
    case TakeOutStep::kFilesKept:
    case TakeOutStep::kInUse:
      break;
  }
  return "a file of it could not be removed";
}

// The number that a report gives with a take-out's failure: the error
// code, or for kKeptChanging the rounds run.
std::uint32_t failureNumber(const StepFailure<TakeOutStep>& failure) {
  return failure.step == TakeOutStep::kKeptChanging ? kRebuildRounds : failure.code;
}

}  // namespace

std::string failureReason(const StepFailure<TakeOutStep>& failure) {
  std::string reason = takeOutFailure(failure.step);
  if (!failure.path.empty()) reason += " (" + wideToUtf8(failure.path.c_str()) + ")";
  return reason;
}

bool finishTakeOut(const TakeOutResult& taken, JournalFile& journal,
                   const std::wstring& journalPath, WorkReport& report) {
  for (const std::string& line : taken.removal.removed)
    report.add({ReportKind::kTookOut, line});
  for (const std::string& line : taken.removal.missing)
    report.add({ReportKind::kLeft, line});
  const std::string shown = wideToUtf8(journalPath.c_str());
  if (!taken.done) {
    // Kept: a recovery takes the lines out later.
    journal.close();
    const StepFailure<TakeOutStep>& failure = taken.done.error();
    report.add(
        {ReportKind::kTakeOutFailed, shown, {}, failureReason(failure), failureNumber(failure)});
    return false;
  }
  if (SystemResult removed = journal.removeAndClose(); !removed)
    report.add({ReportKind::kJournalKept, shown, {}, {}, removed.error()});
  return true;
}

bool recoverInterruptedSessions(WorkReport& report, bool sayWhenNone) {
  std::vector<SessionFiles> found;
  if (SystemResult listed = findSessionJournals(found); !listed) {
    report.add({ReportKind::kSearchFailed, {}, {}, {}, listed.error()});
    return false;
  }
  bool all = true;
  bool any = false;
  for (const SessionFiles& files : found) {
    RecoveryResult result = recoverSession(files);
    const std::string journal = wideToUtf8(files.journal.c_str());
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
    const StepFailure<TakeOutStep>& failure = result.done.error();
    report.add({ReportKind::kRecoveryFailed, journal, result.started, failureReason(failure),
                failureNumber(failure)});
  }
  if (!any && sayWhenNone) report.add({ReportKind::kNoneToRecover});
  return all;
}

}  // namespace varnick
