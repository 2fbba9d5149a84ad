// The frames of the controller's wire format over one connected stream
// socket, as the Linux half reads requests and sends replies and reports.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/expected.h"
#include "link/request.h"
#include "link/session_report.h"

namespace varnick {

enum class Received {
  kRequest,      // a whole request, decoded
  kEnded,        // the connection ended (before a whole request, if one was begun)
  kFailed,       // the read failed: `error`
  kOutOfMemory,  // the body's block of `bodyLength` bytes could not be had; left unread
  kTooLong,      // `bodyLength` is over kMaxSessionRequestBody; the body is left unread
};

struct ReceivedRequest {
  Received what = Received::kEnded;
  Request request;
  std::uint32_t bodyLength = 0;
  int error = 0;
};

// Reads the next request frame from `fd`. A body's declared length is
// checked against kMaxSessionRequestBody before anything is set aside for it.
[[nodiscard]] ReceivedRequest receiveRequest(int fd);

// Sends all of `bytes` on the socket `fd` without raising SIGPIPE; the
// failure is the errno (EPIPE when the peer is gone).
[[nodiscard]] SystemResult sendAllBytes(int fd, std::string_view bytes);

// Sends a report frame (session_report.h); the failure is the errno
// (EMSGSIZE for a report too long for a frame).
[[nodiscard]] SystemResult sendReportFrame(int fd, const Report& report);

}  // namespace varnick
