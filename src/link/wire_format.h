// Varnick's controller wire format: the frame around each request, the op
// codes, the reply bytes, and the big-endian numbers they are made of. Plain
// bytes only: no sockets here.
#pragma once

#include <cstdint>

namespace varnick {

// Every request is a frame: a big-endian 32-bit body length of this many
// bytes, then the body, whose first byte is the op code.
constexpr std::uint32_t kLengthFieldSize = 4;

constexpr std::uint8_t kOpAdd = 1;       // operands: big-endian entry length N, N entry bytes
constexpr std::uint8_t kOpRemove = 2;    // no operands; always refused
constexpr std::uint8_t kOpShutdown = 3;  // no operands

// The one byte that answers each complete request.
constexpr std::uint8_t kReplySuccess = 0;
constexpr std::uint8_t kReplyFailure = 1;

// Decodes an unsigned 32-bit big-endian number from four bytes.
std::uint32_t readBigEndian32(const std::uint8_t* bytes);

}  // namespace varnick
