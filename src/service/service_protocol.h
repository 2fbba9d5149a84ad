// The Varnick service's pipe protocol, for both ends: the frames of the
// requests a user's program sends and of the service's replies. Every byte
// from the pipe goes through this portable decoding, which a fuzzer runs:
// the service runs as SYSTEM and any interactive user may send it anything.
// docs/protocol.md describes it for people who write their own client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/wire_format.h"
#include "service/entry_policy.h"

namespace varnick {

constexpr wchar_t kServicePipeName[] = L"\\\\.\\pipe\\Varnick";
constexpr std::uint32_t kServiceProtocolVersion = 1;
// No request or reply comes near this; a frame that claims more closes the
// connection before anything is read into memory for it.
constexpr std::uint32_t kMaxServiceFrame = 4096;

// The op codes of requests; add and end reuse the controller's.
enum class ServiceOp : std::uint8_t {
  kAdd = 1,     // entry length N (4 bytes), N entry bytes
  kEnd = 3,     // take this connection's lines out now
  kHello = 16,  // the client's protocol version (4 bytes)
  kList = 17,   // who holds which entries: one line a connection in the reply's text
};

struct ServiceRequest {
  ServiceOp op = ServiceOp::kHello;
  std::uint32_t version = 0;  // kHello
  std::string entry;          // kAdd
};

enum class ServiceStatus : std::uint8_t { kDone = 0, kRefused = 1, kFailed = 2 };

struct ServiceReply {
  ServiceStatus status = ServiceStatus::kDone;
  PolicyRule rule = PolicyRule::kAllowed;  // kRefused: the rule that refused
  std::uint32_t value = 0;  // kFailed: the platform's error; a hello: the service's version
  std::string text;         // why, in words; for a hello, the policy in words
};

// Reads the request at the front of `received`: kWhole gives the request
// and the bytes it took; kNeedMore names no size; kMalformed is a length
// beyond kMaxServiceFrame, an unknown op code, or a body of the wrong size.
[[nodiscard]] FrameTaken<ServiceRequest> takeServiceRequest(std::string_view received);
// The same for a reply.
[[nodiscard]] FrameTaken<ServiceReply> takeServiceReply(std::string_view received);

// Whole frames, length field included.
std::string encodeServiceRequest(const ServiceRequest& request);
std::string encodeServiceReply(const ServiceReply& reply);

}  // namespace varnick
