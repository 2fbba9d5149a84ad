#include "service/service_protocol.h"

#include "link/wire_format.h"

namespace varnick {
namespace {

constexpr auto kLastRule = PolicyRule::kNameHeld;
constexpr auto kLastStatus = ServiceStatus::kFailed;

std::uint32_t numberAt(std::string_view bytes, std::size_t at) {
  return readBigEndian32(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
}

std::string framed(const std::string& body) {
  std::string frame;
  appendBigEndian32(frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

// The body of the frame at the front of `received`, once it is whole.
FrameTaken<std::string_view> takeBody(std::string_view received) {
  if (received.size() < kLengthFieldSize) return {FrameRead::kNeedMore};
  const std::uint32_t length = numberAt(received, 0);
  if (length == 0 || length > kMaxServiceFrame) return {FrameRead::kMalformed};
  if (received.size() - kLengthFieldSize < length) return {FrameRead::kNeedMore};
  return {FrameRead::kWhole, received.substr(kLengthFieldSize, length),
          kLengthFieldSize + std::size_t{length}};
}

// A number, then exactly that many bytes, making up the rest of `body` from `at`.
std::optional<std::string> sizedText(std::string_view body, std::size_t at) {
  if (body.size() < at + 4) return std::nullopt;
  const std::uint32_t size = numberAt(body, at);
  if (body.size() - at - 4 != size) return std::nullopt;
  return std::string(body.substr(at + 4));
}

}  // namespace

FrameTaken<ServiceRequest> takeServiceRequest(std::string_view received) {
  const FrameTaken<std::string_view> frame = takeBody(received);
  if (frame.read != FrameRead::kWhole) return {frame.read};
  const std::string_view body = frame.content;
  ServiceRequest taken;
  switch (static_cast<std::uint8_t>(body[0])) {
    case static_cast<std::uint8_t>(ServiceOp::kHello):
      if (body.size() != 5) return {FrameRead::kMalformed};
      taken.version = numberAt(body, 1);
      break;
    case static_cast<std::uint8_t>(ServiceOp::kAdd): {
      std::optional<std::string> entry = sizedText(body, 1);
      if (!entry) return {FrameRead::kMalformed};
      taken.entry = std::move(*entry);
      break;
    }
    case static_cast<std::uint8_t>(ServiceOp::kEnd):
    case static_cast<std::uint8_t>(ServiceOp::kList):
      if (body.size() != 1) return {FrameRead::kMalformed};
      break;
    default:
      return {FrameRead::kMalformed};
  }
  taken.op = static_cast<ServiceOp>(body[0]);
  return {FrameRead::kWhole, std::move(taken), frame.used};
}

FrameTaken<ServiceReply> takeServiceReply(std::string_view received) {
  const FrameTaken<std::string_view> frame = takeBody(received);
  if (frame.read != FrameRead::kWhole) return {frame.read};
  const std::string_view body = frame.content;
  if (body.size() < 6) return {FrameRead::kMalformed};
  const auto status = static_cast<std::uint8_t>(body[0]);
  const auto rule = static_cast<std::uint8_t>(body[1]);
  std::optional<std::string> text = sizedText(body, 6);
  if (status > static_cast<std::uint8_t>(kLastStatus) ||
      rule > static_cast<std::uint8_t>(kLastRule) || !text) {
    return {FrameRead::kMalformed};
  }
  ServiceReply reply;
  reply.status = static_cast<ServiceStatus>(status);
  reply.rule = static_cast<PolicyRule>(rule);
  reply.value = numberAt(body, 2);
  reply.text = std::move(*text);
  return {FrameRead::kWhole, std::move(reply), frame.used};
}

std::string encodeServiceRequest(const ServiceRequest& request) {
  std::string body(1, static_cast<char>(request.op));
  if (request.op == ServiceOp::kHello) appendBigEndian32(body, request.version);
  if (request.op == ServiceOp::kAdd) {
    appendBigEndian32(body, static_cast<std::uint32_t>(request.entry.size()));
    body += request.entry;
  }
  return framed(body);
}

std::string encodeServiceReply(const ServiceReply& reply) {
  // A reason longer than a frame holds is cut: the reply must stay readable.
  const std::string_view text = std::string_view(reply.text).substr(0, kMaxServiceFrame - 10);
  std::string body;
  body += static_cast<char>(reply.status);
  body += static_cast<char>(reply.rule);
  appendBigEndian32(body, reply.value);
  appendBigEndian32(body, static_cast<std::uint32_t>(text.size()));
  body += text;
  return framed(body);
}

}  // namespace varnick
