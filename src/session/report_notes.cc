#include "session/report_notes.h"

#include "base/error_text.h"
#include "hosts/visible_text.h"

namespace varnick::control {
namespace {

std::string session(const ReportItem& item) {
  return "an interrupted session that started " +
         (item.started.empty() ? std::string("at an unknown time") : visibleText(item.started));
}

std::string because(const ReportItem& item) {
  return visibleText(item.reason) + " " + errorInParentheses(item.error);
}

}  // namespace

std::string reportNote(const ReportItem& item) {
  const std::string line = "'" + visibleText(item.line) + "'";
  const std::string path = visibleText(item.line);
  switch (item.kind) {
    case ReportKind::kRemoved:
      return "removed " + line + ", left by " + session(item);
    case ReportKind::kSkipped:
      return "skipped " + line + ", added by " + session(item) +
             ": it is no longer in the hosts file";
    case ReportKind::kRecovered:
      return "put right " + session(item) + ", and removed its journal";
    case ReportKind::kRecoveryFailed:
      return "could not put right " + session(item) + ": " + because(item) + "; its journal " +
             path + " is kept for the next recovery";
    case ReportKind::kLeftRunning:
      return "left " + path + ": another process holds it, as a running session does";
    case ReportKind::kNoneToRecover:
      return "no interrupted session to recover";
    case ReportKind::kSearchFailed:
      return withCode("could not look for interrupted sessions", item.error);
    case ReportKind::kTookOut:
      return "took out " + line;
    case ReportKind::kLeft:
      return "left " + line + ": someone changed or removed that line of the hosts file meanwhile";
    case ReportKind::kTakeOutFailed:
      return "could not take the session's lines out: " + because(item) + "; its journal " + path +
             " is kept for the next recovery";
    case ReportKind::kJournalKept:
      return withCode("took the session's lines out, but could not remove its journal " + path,
                      item.error);
    case ReportKind::kLockRemoved:
      return "removed the lock file " + path;
    case ReportKind::kLockLeft:
      return "left the lock file " + path + ": a running Varnick holds it";
    case ReportKind::kLockRemoveFailed:
      return withCode("could not remove the lock file " + path, item.error);
    case ReportKind::kLogRemoved:
      return "removed the log " + path;
    case ReportKind::kLogLeft:
      return "left the log " + path + ": a running session's privileged half writes to it";
    case ReportKind::kLogRemoveFailed:
      return withCode("could not remove the log " + path, item.error);
  }
  return {};
}

}  // namespace varnick::control
