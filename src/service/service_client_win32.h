// varnick-session's side of the Varnick service's pipe: it connects only to
// the pipe of the service's own process, so that another process that made
// an instance of the same name first gets no entries and cannot fake the
// replies.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/unique_resource_win32.h"
#include "link/session_report.h"
#include "service/service_protocol.h"

namespace varnick {

class ServiceClient {
 public:
  static constexpr DWORD kPipeWaitMs = 5000;

  // Connects to the pipe of the running service, whose process id the
  // service control manager gives, and says hello. The failure says why,
  // for the user: the service does not run, the pipe belongs to another
  // process, or the service does not answer.
  Expected<void, std::string> connect();

  // The service's answer to an add; why there is none when the connection
  // failed.
  Expected<ServiceReply, std::string> add(const std::string& entryBytes);

  // Ends the connection's entries now: the service's answer and its report
  // of what it took out; why there is none when the connection failed.
  Expected<std::pair<ServiceReply, Report>, std::string> end();

  // Who holds which entries through the service: one line a connection,
  // "VM\\root (process 42): 127.0.0.1 app.test"; why there are none when
  // the connection failed.
  Expected<std::vector<std::string>, std::string> holders();

  // What the service said its policy allows.
  const std::string& policy() const { return policy_; }

 private:
  // Opens the pipe, waiting up to kPipeWaitMs while every instance is
  // taken.
  SystemResult openPipe();
  Expected<ServiceReply, std::string> request(const ServiceRequest& request);
  Expected<void, std::string> receive(std::size_t size);

  UniqueFile pipe_;
  std::string received_;
  std::string policy_;
};

}  // namespace varnick
