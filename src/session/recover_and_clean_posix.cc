#include "session/recover_and_clean.h"

#include "session/half_link_posix.h"
#include "session/half_start_posix.h"
#include "session/session_waits.h"
#include "session/varnick_report.h"

namespace varnick::control {

int recoverOrClean(const SessionOptions& options, const EventStream& events) {
  HalfLink link;
  HalfStarted started;
  if (!startTrustedHalf(link, options, started)) return kSessionNoVarnick;
  const std::string work = options.clean ? "clean" : "recovery";
  Expected<Report, NotServing> done = link.awaitStartReport(startWaitSeconds(options));
  if (!done) {
    if (done.error().why == NotServing::Why::kInterrupted)
      report("interrupted before the " + work + " was done");
    return explainNoStart(link, done.error(), started);
  }
  sayWhatVarnickReported(*done, events);
  // A recovering half has put right what it could, and a session without
  // entries ends at once; a cleaning one ends of itself after its report.
  if (!options.clean) {
    // Its end report repeats nothing that the first did not say.
    const Expected<Reply, std::string> reply = link.shutdown();
    if (reply && *reply == Reply::kSuccess) (void)link.readReport("end", kExitWaitSeconds).ok();
  }
  link.disconnect();
  const std::optional<int> code = link.waitForExit(kExitWaitSeconds, "end");
  for (const ReportItem& item : *done) {
    if (isFailure(item.kind)) {
      report("the " + work + " failed; see " + halfPlaces().logFile);
      return kSessionVarnickFailed;
    }
  }
  if (!code || *code != 0) {
    report(code ? "the privileged half exited with code " + std::to_string(*code) + "; see " +
                      halfPlaces().logFile
                : "the privileged half did not end within " + std::to_string(kExitWaitSeconds) +
                      " seconds; see " + halfPlaces().logFile);
    return kSessionVarnickFailed;
  }
  return 0;
}

}  // namespace varnick::control
