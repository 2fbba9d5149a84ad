// The Varnick service as a session's way in: it takes every entry or none
// when the session opens it (no consent, no elevated Varnick), and takes
// them out at the end, or when the pipe closes however the session ends.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "service/service_client_win32.h"
#include "session/session_advice.h"
#include "session/session_driver.h"
#include "session/session_options.h"

namespace varnick::control {

class ServiceTransport final : public SessionTransport {
 public:
  ServiceTransport(const SessionOptions& options, const EventStream& events)
      : options_(options), events_(events) {}

  // How the session goes on once the service was asked.
  enum class Opened {
    kTaken,       // the service holds every entry
    kAskConsent,  // it does not run, or did not take every entry: Varnick through consent
  };

  // Connects and adds every entry, unless the session is interrupted
  // (`interruption`, its code) first. With --no-consent a service that does
  // not run or refuses ends the session: its exit code, said. `answer` tells
  // the consent route what the service said.
  [[nodiscard]] Expected<Opened, int> open(const SessionHost& host,
                                           const std::vector<SessionEntry>& entries,
                                           ServiceAnswer& answer);

  std::string route() const override { return "service"; }
  bool addedWhenOpened() const override { return true; }
  SessionStep add(const SessionEntry& entry) override;
  // Takes the entries out through the service. A session code unless it
  // took them all out.
  SessionStep end() override;

 private:
  const SessionOptions& options_;
  const EventStream& events_;
  ServiceClient client_;
};

}  // namespace varnick::control
