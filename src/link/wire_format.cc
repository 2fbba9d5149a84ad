#include "link/wire_format.h"

namespace varnick {
namespace {

std::string bareRequest(std::uint8_t op) {
  std::string frame;
  appendBigEndian32(frame, 1);
  frame += static_cast<char>(op);
  return frame;
}

}  // namespace

std::uint32_t readBigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void appendBigEndian32(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value >> 24);
  out += static_cast<char>(value >> 16);
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value);
}

std::optional<std::string> addRequest(const std::string& entry) {
  if (entry.size() > kMaxEntryBytes) return std::nullopt;
  const auto entryLength = static_cast<std::uint32_t>(entry.size());
  std::string frame;
  frame.reserve(kLengthFieldSize + 1 + 4 + entry.size());
  appendBigEndian32(frame, 1 + 4 + entryLength);
  frame += static_cast<char>(kOpAdd);
  appendBigEndian32(frame, entryLength);
  frame += entry;
  return frame;
}

std::string removeRequest() { return bareRequest(kOpRemove); }
std::string shutdownRequest() { return bareRequest(kOpShutdown); }

std::optional<Reply> decodeReply(std::uint8_t byte) {
  if (byte == kReplySuccess) return Reply::kSuccess;
  if (byte == kReplyFailure) return Reply::kFailure;
  return std::nullopt;
}

}  // namespace varnick
