// The elevated varnick.exe as a session's way in: started through consent
// (`varnick session <port>`, or `varnick server` with --backup), connected
// back to the session's controller, and ended with its take-out or its
// restore.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session/controller_win32.h"
#include "session/session_driver.h"
#include "session/session_options.h"
#include "session/varnick_start_win32.h"

namespace varnick::control {

class VarnickTransport final : public SessionTransport {
 public:
  VarnickTransport(const SessionOptions& options, const EventStream& events)
      : options_(options), events_(events) {}

  // Listens, starts a trusted varnick.exe through consent and waits for its
  // connection (and a session's Varnick's report of what it put right),
  // giving up at `stop`. The exit code, said, when the session cannot go on.
  [[nodiscard]] SessionStep open(const ServiceAnswer& serviceAnswer, HANDLE stop);

  std::string route() const override { return "consent"; }
  void beforeAdds() override;
  SessionStep add(const SessionEntry& entry) override;
  void beforeEnd() override;
  // Ends serving and waits for Varnick's take-out or restore. A session code
  // unless Varnick answered the shutdown and exited 0.
  SessionStep end() override;

  // varnick.exe's process, for the watch while the command runs.
  HANDLE varnickProcess() const { return controller_.varnickProcess(); }

 private:
  void adviseRestoreByHand();

  const SessionOptions& options_;
  const EventStream& events_;
  Controller controller_;
  std::string logShown_;                      // varnick.log, for messages
  std::optional<std::string> expectedHosts_;  // the hosts file as this session alone leaves it
};

// The hosts file as it stands, read while others may go on using it;
// nothing when it cannot be read.
std::optional<std::string> readHostsFile();

}  // namespace varnick::control
