// What a session's Varnick did on its own, recorded in varnick.log as each
// item comes and kept to send to varnick-session as data.
#pragma once

#include "link/session_report.h"
#include "log/logging.h"

namespace varnick {

class WorkReport {
 public:
  // `port` is the session's, named in the records of its end.
  explicit WorkReport(Logger* log, int port = 0) : log_(log), port_(port) {}

  // Makes the item's record (ERROR for a failure, INFO otherwise) and keeps it.
  void add(ReportItem item);

  const Report& items() const { return items_; }

 private:
  Logger* log_;
  int port_;
  Report items_;
};

}  // namespace varnick
