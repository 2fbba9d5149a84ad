// The service's side of its pipe: instances made with a security descriptor
// that lets interactive users read and write but not make instances, the
// first one first (so that a process that made one before the service is
// noticed), remote clients refused, and each connection served on a thread
// of its own through events that the caller answers. What a request does,
// and every record, is the caller's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/session_report.h"
#include "service/service_protocol.h"

namespace varnick {

// One connection's requests, answered in order; then its end.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  virtual ServiceReply hello(std::uint32_t clientVersion) = 0;
  // Who holds which entries through the service, every connection's.
  virtual ServiceReply list() = 0;
  virtual ServiceReply add(const std::string& entry) = 0;
  // Takes the connection's lines out now; `report` says which.
  virtual ServiceReply end(Report& report) = 0;
  // The connection is over (the client closed it or died, sent a frame it
  // may not, or the service stops): whatever it still holds goes.
  virtual void closed(bool malformed) = 0;
};

// Makes the handler of a new connection from `clientPid`.
using ConnectionMaker = std::function<std::unique_ptr<PipeConnection>(DWORD clientPid)>;

// Serves the pipe until `stop` is signalled, then ends every connection
// and waits for their threads. `ready` runs once the first instance
// exists, before any client can connect. 0, or the error code that kept
// the first instance from being made (ERROR_ACCESS_DENIED or
// ERROR_PIPE_BUSY when another process made one first).
[[nodiscard]] DWORD servePipe(HANDLE stop, const ConnectionMaker& makeConnection,
                              const std::function<void()>& ready);

}  // namespace varnick
