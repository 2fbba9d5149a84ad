// The controller's side of Varnick's wire protocol: request frames out, one
// reply byte back per request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace varnick::control {

constexpr std::uint8_t kOpAdd = 1;
constexpr std::uint8_t kOpRemove = 2;
constexpr std::uint8_t kOpShutdown = 3;

// The largest entry a frame can carry: its body (1 + 4 + N bytes) must fit
// the 32-bit length field.
constexpr std::uint64_t kMaxEntryBytes = 0xFFFFFFFFull - 5;

// A whole request: 4-byte big-endian body length, op code, operands.
// Entries are bytes and go on the wire unconverted. Nothing for an entry
// longer than kMaxEntryBytes.
std::optional<std::string> addRequest(const std::string& entry);
std::string removeRequest();
std::string shutdownRequest();

enum class Reply { kSuccess, kFailure };

// Reads a reply byte: 0 is success, 1 failure, anything else is not a reply
// Varnick sends.
std::optional<Reply> decodeReply(std::uint8_t byte);

}  // namespace varnick::control
