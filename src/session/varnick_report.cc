#include "session/varnick_report.h"

#include "session/report_notes.h"
#include "session/session_events.h"

namespace varnick::control {

void sayWhatVarnickReported(const Report& report, const EventStream& events) {
  for (const ReportItem& item : report) {
    notice(reportNote(item));
    if (item.kind == ReportKind::kRemoved) events.write(recoveredEvent(item.line, item.started));
  }
}

}  // namespace varnick::control
