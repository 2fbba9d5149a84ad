// One controller request as the server takes it in: the decoding of a
// received body into the operation it asks for. The bytes themselves are
// laid out in link/wire_format.h.
#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include "link/packet_buffer.h"

namespace varnick {

enum class RequestKind {
  kAdd,       // kOpAdd: append the entry to the hosts file
  kRemove,    // kOpRemove: not supported, refused
  kShutdown,  // kOpShutdown: end serving
  kInvalid,   // any other op code
  kTooShort,  // the body ends before a field that its op code reads
};

struct Request {
  RequestKind kind = RequestKind::kTooShort;
  // The op code as a signed byte; 0 when the body is empty.
  std::int8_t opCode = 0;
  // Add only: the entry up to its first zero byte, which is what the hosts
  // file gets and the log shows.
  std::string entry;
};

// Reads the op code and, for an add, the entry from a received body. Bytes
// after the last field that the op code needs are ignored.
[[nodiscard]] Request decodeRequest(PacketBuffer& body);

// How many bytes to ask the next recv call for when `wanted` are still
// missing: recv takes an int, so a body may need more than one call.
constexpr int nextReceiveSize(std::uint32_t wanted) {
  return wanted > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(wanted);
}

}  // namespace varnick
