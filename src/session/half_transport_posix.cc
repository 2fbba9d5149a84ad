#include "session/half_transport_posix.h"

#include "session/session_waits.h"
#include "session/varnick_report.h"

namespace varnick::control {

std::string HalfTransport::route() const {
  return started_.how == HalfStart::kDirect ? "root" : "sudo";
}

SessionStep HalfTransport::add(const SessionEntry& entry) {
  Expected<Reply, std::string> reply = link_.add(entry.bytes);
  if (!reply) {
    report(reply.error());
    return unexpected(kSessionConnectionLost);
  }
  if (*reply == Reply::kFailure) {
    report("the privileged half refused the entry '" + entry.shown + "'; see " +
           halfPlaces().logFile);
    return unexpected(kSessionEntryRefused);
  }
  return {};
}

SessionStep HalfTransport::end() {
  const char* ending = "take the entries out of the hosts file";
  bool shutDown = false;
  if (link_.connected()) {
    Expected<Reply, std::string> reply = link_.shutdown();
    shutDown = reply && *reply == Reply::kSuccess;
    if (!reply)
      report("the privileged half did not answer the shutdown: " + reply.error());
    else if (!shutDown)
      report("the privileged half did not answer the shutdown: it refused it");
  }
  if (!shutDown) {
    link_.disconnect();
    (void)link_.waitForExit(kExitWaitSeconds, ending);  // its code adds nothing to the advice
    adviseRecovery();
    return unexpected(kSessionConnectionLost);
  }
  // The half reports what it took out, and what stopped it, before it exits.
  if (Expected<Report, std::string> taken = link_.readReport(ending, kExitWaitSeconds))
    sayWhatVarnickReported(*taken, events_);
  else
    notice(taken.error());
  link_.disconnect();
  const std::optional<int> code = link_.waitForExit(kExitWaitSeconds, ending);
  if (!code || *code != 0) {
    report(code ? "the privileged half exited with code " + std::to_string(*code) + "; see " +
                      halfPlaces().logFile
                : "the privileged half did not exit within " + std::to_string(kExitWaitSeconds) +
                      " seconds");
    adviseRecovery();
    return unexpected(kSessionVarnickFailed);
  }
  return {};
}

}  // namespace varnick::control
