#include "link/frame_channel_posix.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "link/packet_buffer.h"
#include "link/wire_format.h"

namespace varnick {
namespace {

// Reads exactly `size` bytes: 0 when read, -1 at the end of the connection,
// or the errno.
int readExactly(int fd, std::uint8_t* into, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, into, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno == ECONNRESET ? -1 : errno;
    if (got == 0) return -1;
    into += got;
    size -= static_cast<std::size_t>(got);
  }
  return 0;
}

ReceivedRequest endedOrFailed(int read) {
  ReceivedRequest received;
  received.what = read < 0 ? Received::kEnded : Received::kFailed;
  received.error = read < 0 ? 0 : read;
  return received;
}

}  // namespace

ReceivedRequest receiveRequest(int fd) {
  std::uint8_t length[kLengthFieldSize];
  if (int read = readExactly(fd, length, sizeof length)) return endedOrFailed(read);
  ReceivedRequest received;
  received.bodyLength = readBigEndian32(length);
  if (received.bodyLength > kMaxSessionRequestBody) {
    received.what = Received::kTooLong;
    return received;
  }
  PacketBuffer body(received.bodyLength);
  if (!body.allocated()) {
    received.what = Received::kOutOfMemory;
    return received;
  }
  if (int read = readExactly(fd, body.data(), body.size())) return endedOrFailed(read);
  received.what = Received::kRequest;
  received.request = decodeRequest(body);
  return received;
}

SystemResult sendAllBytes(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return unexpected(static_cast<std::uint32_t>(error));
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return {};
}

SystemResult sendReportFrame(int fd, const Report& report) {
  std::optional<std::string> frame = reportFrame(report);
  if (!frame) return unexpected(static_cast<std::uint32_t>(EMSGSIZE));
  return sendAllBytes(fd, *frame);
}

}  // namespace varnick
