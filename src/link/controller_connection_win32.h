// Server mode's side of the connection: connecting to the controller and
// serving its requests one at a time. What each request does to the hosts
// file, and every record, is the caller's: this room only speaks the wire.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/expected.h"
#include "base/unique_resource_win32.h"
#include "link/session_report.h"

namespace varnick {

enum class ConnectStep { kNoSocket, kNoAddress, kNoConnection };

using ConnectResult = Expected<UniqueSocket, StepFailure<ConnectStep>>;

// A new socket connected to the controller on the first address "localhost"
// resolves to, at `port`: one attempt, no time-out.
[[nodiscard]] ConnectResult connectToController(std::int32_t port);

// Sends `report` as one report frame; the failure is the platform's error
// code (ERROR_BUFFER_OVERFLOW for a report too long for a frame).
[[nodiscard]] SystemResult sendReport(SOCKET sock, const Report& report);

// Waits up to `timeoutMs` for the controller to close the connection,
// reading and dropping whatever it sends meanwhile: the controller names
// the connection's process while it is still alive.
void awaitControllerClose(SOCKET sock, std::uint32_t timeoutMs);

// What serving meets, told as it happens; the caller carries out the
// requests and answers each with its reply byte.
class ServingEvents {
 public:
  virtual ~ServingEvents() = default;
  // About to wait for the next request.
  virtual void awaitingRequest() = 0;
  // The connection ended or failed (`error`), or a console event (`event`)
  // ended it, before a whole request came.
  virtual void inputEnded(int error, std::optional<long> event) = 0;
  virtual char add(const std::string& entry) = 0;
  virtual char remove() = 0;
  virtual char shutdown() = 0;
  virtual char invalid(int opCode) = 0;
  // A body too short for what its op code reads.
  virtual char tooShort(std::uint32_t bodyLength, int opCode) = 0;
  // The reply could not be sent.
  virtual void replyFailed(int error) = 0;
  // The block for a body of `bodyLength` bytes could not be had: serving
  // ends with the body unread and no reply.
  virtual void outOfMemory(std::uint32_t bodyLength) = 0;
  // A frame declared a body of `bodyLength` bytes, over the bound that
  // serving was given: serving ends with the body unread and no reply.
  virtual void tooLong(std::uint32_t bodyLength) = 0;
};

// Serves requests until a shutdown request, the end of the connection, a
// console event, a body too large for memory, or one longer than
// `maxBody` (checked before anything is set aside for it; no bound when
// nothing).
void serveRequests(SOCKET sock, ServingEvents& events, std::optional<std::uint32_t> maxBody);

}  // namespace varnick
