#include "modes/work_report.h"

#include <utility>

#include "hosts/visible_text.h"

namespace varnick {
namespace {

// The session's start as its records name it.
std::string startedText(const ReportItem& item) {
  return item.started.empty() ? "at an unknown time" : visibleText(item.started);
}

// Each text of an item (a line of a caller's, a path, a time read from a
// journal) is shown through visibleText: a record stays one line, and no
// byte of it drives the terminal of whoever reads the log.
void record(Logger* log, const std::string& subject, const ReportItem& item) {
  const LogLevel level = isFailure(item.kind) ? kError : kInfo;
  const std::string shownLine = visibleText(item.line);
  const std::string shownReason = visibleText(item.reason);
  const std::string started = startedText(item);
  const char* line = shownLine.c_str();
  const char* reason = shownReason.c_str();
  const int error = static_cast<int>(item.error);
  switch (item.kind) {
    case ReportKind::kRemoved:
      logMessage(level, log, "Removed '%s' left by the session started %s", line, started.c_str());
      return;
    case ReportKind::kSkipped:
      logMessage(level, log, "Skipped '%s' of the session started %s: no longer in the hosts file",
                 line, started.c_str());
      return;
    case ReportKind::kRecovered:
      logMessage(level, log, "Recovered the interrupted session started %s", started.c_str());
      return;
    case ReportKind::kRecoveryFailed:
      logMessage(level, log, "Failed to recover the session started %s: %s %d; kept %s",
                 started.c_str(), reason, error, line);
      return;
    case ReportKind::kLeftRunning:
      logMessage(level, log, "Left %s: another process holds it, as a running session does", line);
      return;
    case ReportKind::kNoneToRecover:
      logMessage(level, log, "No interrupted session to recover");
      return;
    case ReportKind::kSearchFailed:
      logMessage(level, log, "Failed to look for interrupted sessions %d", error);
      return;
    case ReportKind::kTookOut:
      logMessage(level, log, "%s took out '%s'", subject.c_str(), line);
      return;
    case ReportKind::kLeft:
      logMessage(level, log, "%s left '%s': no longer a line of the hosts file", subject.c_str(),
                 line);
      return;
    case ReportKind::kTakeOutFailed:
      logMessage(level, log, "Failed to take out the session's lines: %s %d; kept %s", reason,
                 error, line);
      return;
    case ReportKind::kJournalKept:
      logMessage(level, log, "Failed to remove %s %d", line, error);
      return;
    case ReportKind::kLockRemoved:
      logMessage(level, log, "Removed the lock file %s", line);
      return;
    case ReportKind::kLockLeft:
      logMessage(level, log, "Left the lock file %s: a running Varnick holds it", line);
      return;
    case ReportKind::kLockRemoveFailed:
      logMessage(level, log, "Failed to remove the lock file %s %d", line, error);
      return;
    case ReportKind::kLogRemoved:
      logMessage(level, log, "Removed the log %s", line);
      return;
    case ReportKind::kLogLeft:
      logMessage(level, log, "Left the log %s: a running half writes to it", line);
      return;
    case ReportKind::kLogRemoveFailed:
      logMessage(level, log, "Failed to remove the log %s %d", line, error);
      return;
  }
}

}  // namespace

void WorkReport::add(ReportItem item) {
  record(log_, subject_, item);
  items_.push_back(std::move(item));
}

}  // namespace varnick
