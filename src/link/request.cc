#include "link/request.h"

#include <algorithm>
#include <optional>

#include "link/wire_format.h"

namespace varnick {
namespace {

Request decodeAdd(PacketBuffer& body) {
  std::optional<std::string> entry = body.readString();
  if (!entry) return {RequestKind::kTooShort, kOpAdd, {}};
  // The line is written as C text, so an entry ends at its first zero byte.
  entry->resize(std::min(entry->find('\0'), entry->size()));
  return {RequestKind::kAdd, kOpAdd, std::move(*entry)};
}

}  // namespace

Request decodeRequest(PacketBuffer& body) {
  std::optional<std::int8_t> opCode = body.readByte();
  if (!opCode) return {};
  switch (*opCode) {
    case kOpAdd:
      return decodeAdd(body);
    case kOpRemove:
      return {RequestKind::kRemove, *opCode, {}};
    case kOpShutdown:
      return {RequestKind::kShutdown, *opCode, {}};
    default:
      return {RequestKind::kInvalid, *opCode, {}};
  }
}

}  // namespace varnick
