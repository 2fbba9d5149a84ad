#include "control/frames.h"

namespace varnick::control {
namespace {

void appendBigEndian32(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value >> 24);
  out += static_cast<char>(value >> 16);
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value);
}

std::string bareRequest(std::uint8_t op) {
  std::string frame;
  appendBigEndian32(frame, 1);
  frame += static_cast<char>(op);
  return frame;
}

}  // namespace

std::optional<std::string> addRequest(const std::string& entry) {
  if (entry.size() > kMaxEntryBytes) return std::nullopt;
  const auto entryLength = static_cast<std::uint32_t>(entry.size());
  std::string frame;
  frame.reserve(9 + entry.size());
  appendBigEndian32(frame, 1 + 4 + entryLength);
  frame += static_cast<char>(kOpAdd);
  appendBigEndian32(frame, entryLength);
  frame += entry;
  return frame;
}

std::string removeRequest() { return bareRequest(kOpRemove); }
std::string shutdownRequest() { return bareRequest(kOpShutdown); }

std::optional<Reply> decodeReply(std::uint8_t byte) {
  if (byte == 0) return Reply::kSuccess;
  if (byte == 1) return Reply::kFailure;
  return std::nullopt;
}

}  // namespace varnick::control
