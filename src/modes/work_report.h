// What a session's Varnick did on its own, recorded in varnick.log as each
// item comes and kept to send to varnick-session as data.
#pragma once

#include <string>
#include <utility>

#include "link/session_report.h"
#include "log/logging.h"

namespace varnick {

class WorkReport {
 public:
  // `subject` names whose end the records of a take-out tell of: "Session
  // on port 5000", "Connection of VM\\root (process 42)".
  explicit WorkReport(Logger* log, std::string subject = {})
      : log_(log), subject_(std::move(subject)) {}

  // Makes the item's record (ERROR for a failure, INFO otherwise) and keeps it.
  void add(ReportItem item);

  const Report& items() const { return items_; }

 private:
  Logger* log_;
  std::string subject_;
  Report items_;
};

}  // namespace varnick
