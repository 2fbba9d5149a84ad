// Varnick's controller wire format, shared by both ends of the connection:
// the frame around each request, the op codes, the reply bytes, and the
// big-endian numbers they are made of. Plain bytes only: no sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace varnick {

// Every request is a frame: a big-endian 32-bit body length of this many
// bytes, then the body, whose first byte is the op code.
constexpr std::uint32_t kLengthFieldSize = 4;

// What reading a frame from the front of the bytes received so far found:
// not all of it yet, all of it, or bytes that are no such frame. Its own
// type rather than an Expected: waiting for more is neither a value nor a failure.
enum class FrameRead { kNeedMore, kWhole, kMalformed };

// A frame read from the front of the bytes received: what was found; for
// kWhole, what the frame holds and the bytes it took (length field and
// body); for kNeedMore, the bytes the frame needs as far as its length
// field tells, where the reader says.
template <typename Content>
struct FrameTaken {
  FrameTaken() = default;
  FrameTaken(FrameRead found, Content taken = {}, std::size_t bytes = 0)  // NOLINT: implicit
      : read(found), content(std::move(taken)), used(bytes) {}

  FrameRead read = FrameRead::kNeedMore;
  Content content{};
  std::size_t used = 0;
};

constexpr std::uint8_t kOpAdd = 1;       // operands: big-endian entry length N, N entry bytes
constexpr std::uint8_t kOpRemove = 2;    // no operands; always refused
constexpr std::uint8_t kOpShutdown = 3;  // no operands

// The one byte that answers each complete request.
constexpr std::uint8_t kReplySuccess = 0;
constexpr std::uint8_t kReplyFailure = 1;

// The largest entry a frame can carry: its body (op code, entry length,
// entry) must fit the 32-bit length field.
constexpr std::uint64_t kMaxEntryBytes = 0xFFFFFFFFull - 1 - 4;

// The longest body that a session's privileged side reads. The longest
// request a session sends, an add of the longest entry it allows (1 + 4 +
// 254 bytes), fits with room to spare, so that a longer entry is still read
// and refused for what it is; a frame that declares more is no request of a
// session's, and ends the connection before any of its body is held. The
// bare server keeps reading what it is sent, as far as memory allows.
constexpr std::uint32_t kMaxSessionRequestBody = 4096;

// Decodes an unsigned 32-bit big-endian number from four bytes.
std::uint32_t readBigEndian32(const std::uint8_t* bytes);

// Appends `value` as four big-endian bytes.
void appendBigEndian32(std::string& out, std::uint32_t value);

// Whole request frames, length field included. Entries are bytes and go on
// the wire unconverted; nothing for an entry longer than kMaxEntryBytes.
[[nodiscard]] std::optional<std::string> addRequest(const std::string& entry);
std::string removeRequest();
std::string shutdownRequest();

enum class Reply { kSuccess, kFailure };

// Reads a reply byte; nothing for a byte that Varnick never sends.
[[nodiscard]] std::optional<Reply> decodeReply(std::uint8_t byte);

}  // namespace varnick
