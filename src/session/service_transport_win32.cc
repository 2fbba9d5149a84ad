#include "session/service_transport_win32.h"

#include "session/varnick_report.h"

namespace varnick::control {

Expected<ServiceTransport::Opened, int> ServiceTransport::open(
    const SessionHost& host, const std::vector<SessionEntry>& entries, ServiceAnswer& answer) {
  if (Expected<void, std::string> connected = client_.connect(); !connected) {
    if (!options_.noConsent) return Opened::kAskConsent;
    report("service-not-running",
           connected.error() +
               "; --no-consent never asks for consent (varnick service install, "
               "once, elevated, sets the service up)");
    return unexpected(kSessionNoVarnick);
  }
  answer.answered = true;
  warnAboutLinesAlreadyThere(host, entries);
  for (const SessionEntry& entry : entries) {
    if (std::optional<int> code = host.interruption()) {
      client_.end().ignore();  // the service takes them out when the pipe closes, if not here
      report("interrupted before all the entries were added; the command was not run");
      return unexpected(*code);
    }
    Expected<ServiceReply, std::string> reply = client_.add(entry.bytes);
    if (reply && reply->status == ServiceStatus::kDone) continue;
    const bool refused = reply && reply->status == ServiceStatus::kRefused;
    const std::string why = !reply ? reply.error()
                                   : "the Varnick service " +
                                         std::string(refused ? "refused" : "could not add") + " '" +
                                         entry.shown + "': " + reply->text;
    if (refused) answer.refusedBy = reply->rule;
    // What it took already goes: the session starts over through consent.
    client_.end().ignore();  // the service takes them out when the pipe closes, if not here
    if (options_.noConsent) {
      report(refused ? "service-refused" : "service-failed", why);
      if (std::optional<std::string> widened = policyRemedy(answer.refusedBy)) remedy(*widened);
      return unexpected(refused ? kSessionUsage : kSessionEntryRefused);
    }
    notice(why + "; asking for consent instead");
    return Opened::kAskConsent;
  }
  return Opened::kTaken;
}

SessionStep ServiceTransport::add(const SessionEntry& entry) {
  Expected<ServiceReply, std::string> reply = client_.add(entry.bytes);
  if (!reply) {
    report(reply.error());
    return unexpected(kSessionConnectionLost);
  }
  if (reply->status != ServiceStatus::kDone) {
    report("the Varnick service could not add '" + entry.shown + "': " + reply->text);
    return unexpected(reply->status == ServiceStatus::kRefused ? kSessionUsage
                                                               : kSessionEntryRefused);
  }
  return {};
}

SessionStep ServiceTransport::end() {
  Expected<std::pair<ServiceReply, Report>, std::string> ended = client_.end();
  if (!ended) {
    report(ended.error() + "; the Varnick service takes the entries out when the connection ends");
    return unexpected(kSessionConnectionLost);
  }
  sayWhatVarnickReported(ended->second, events_);
  if (ended->first.status != ServiceStatus::kDone) {
    report("the Varnick service could not take the entries out: " + ended->first.text);
    return unexpected(kSessionVarnickFailed);
  }
  return {};
}

}  // namespace varnick::control
