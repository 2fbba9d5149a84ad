#include "link/controller_connection_win32.h"

#include <cstring>
#include <string_view>

#include "link/console_handler_win32.h"
#include "link/packet_buffer.h"
#include "link/request.h"
#include "link/wire_format.h"

namespace varnick {
namespace {

// Receives exactly `length` bytes, in as many recv calls as the stream and
// recv's int length need. False when the connection ends or fails first;
// `error` then holds the code that the failing call left.
bool receiveAll(SOCKET sock, std::uint8_t* buffer, std::uint32_t length, int& error) {
  std::uint32_t total = 0;
  while (total < length) {
    // A close by the other end fails no call and sets no code: cleared
    // first, it reads as 0 instead of whatever an earlier call left.
    SetLastError(ERROR_SUCCESS);
    int got =
        recv(sock, reinterpret_cast<char*>(buffer + total), nextReceiveSize(length - total), 0);
    if (got == 0 || got == SOCKET_ERROR) {
      error = GetLastError();
      return false;
    }
    total += static_cast<std::uint32_t>(got);
  }
  return true;
}

// Carries out one decoded request through `events` and returns its reply
// byte. Clears `serving` on a shutdown.
char carryOut(ServingEvents& events, const Request& request, std::uint32_t bodyLength,
              bool& serving) {
  switch (request.kind) {
    case RequestKind::kAdd:
      return events.add(request.entry);
    case RequestKind::kRemove:
      return events.remove();
    case RequestKind::kShutdown:
      serving = false;
      return events.shutdown();
    case RequestKind::kInvalid:
      return events.invalid(request.opCode);
    case RequestKind::kTooShort:
      break;
  }
  return events.tooShort(bodyLength, request.opCode);
}

}  // namespace

void awaitControllerClose(SOCKET sock, std::uint32_t timeoutMs) {
  // Each read gives up after the time left; what comes meanwhile is dropped.
  const ULONGLONG until = GetTickCount64() + timeoutMs;
  char dropped[256];
  for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
    DWORD left = static_cast<DWORD>(until - now);
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&left),
                   sizeof left) != 0 ||
        recv(sock, dropped, sizeof dropped, 0) <= 0) {
      return;
    }
  }
}

SystemResult sendReport(SOCKET sock, const Report& report) {
  std::optional<std::string> frame = reportFrame(report);
  if (!frame) return unexpected(ERROR_BUFFER_OVERFLOW);
  std::string_view rest(*frame);
  while (!rest.empty()) {
    // The frame's length fits 32 bits; send takes an int.
    const int piece = nextReceiveSize(static_cast<std::uint32_t>(rest.size()));
    int sent = send(sock, rest.data(), piece, 0);
    if (sent == SOCKET_ERROR) {
      const DWORD error = GetLastError();
      return unexpected(error);
    }
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
  return {};
}

ConnectResult connectToController(std::int32_t port) {
  UniqueSocket sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!sock) {
    const DWORD error = GetLastError();
    return failedAt(ConnectStep::kNoSocket, error);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  hostent* host = gethostbyname("localhost");
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    const DWORD error = GetLastError();
    return failedAt(ConnectStep::kNoAddress, error);
  }
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
      SOCKET_ERROR) {
    const DWORD error = GetLastError();
    return failedAt(ConnectStep::kNoConnection, error);
  }
  return sock;
}

void serveRequests(SOCKET sock, ServingEvents& events, std::optional<std::uint32_t> maxBody) {
  std::uint8_t header[kLengthFieldSize];
  bool serving = true;
  while (serving) {
    events.awaitingRequest();
    int error = 0;
    if (!receiveAll(sock, header, kLengthFieldSize, error)) {
      events.inputEnded(error, ConsoleEvents::received());
      return;
    }
    const std::uint32_t bodyLength = readBigEndian32(header);
    if (maxBody && bodyLength > *maxBody) {
      events.tooLong(bodyLength);
      return;
    }
    PacketBuffer body(bodyLength);
    if (!body.allocated()) {
      events.outOfMemory(body.size());
      return;
    }
    if (!receiveAll(sock, body.data(), body.size(), error)) {
      events.inputEnded(error, ConsoleEvents::received());
      return;
    }
    Request request = decodeRequest(body);
    char reply = carryOut(events, request, body.size(), serving);
    if (send(sock, &reply, 1, 0) == SOCKET_ERROR) {
      const DWORD error = GetLastError();
      events.replyFailed(static_cast<int>(error));
    }
  }
}

}  // namespace varnick
