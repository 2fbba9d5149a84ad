// Feeds arbitrary request bodies to the decoding, as the server receives
// them: under AddressSanitizer, any read outside the block is a crash. The
// same bytes go to the service's pipe decoding, as a stream that any user
// may send, and an entry it takes goes through the policy.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <sanitizer/asan_interface.h>

#include "link/request.h"
#include "service/entry_policy.h"
#include "service/service_protocol.h"

namespace {

// A frame the service takes is exactly the bytes that its request encodes
// to: nothing before or after it is read, and nothing is read twice.
void feedService(std::string_view bytes) {
  varnick::ServiceRequest request;
  std::size_t used = 0;
  if (varnick::takeServiceRequest(bytes, request, used) == varnick::FrameRead::kWhole) {
    if (used > bytes.size() || varnick::encodeServiceRequest(request) != bytes.substr(0, used))
      __builtin_trap();
    (void)varnick::checkEntry(varnick::EntryPolicy{}, request.entry, 0, 0);
  }
  varnick::ServiceReply reply;
  used = 0;
  if (varnick::takeServiceReply(bytes, reply, used) == varnick::FrameRead::kWhole) {
    if (used > bytes.size() || varnick::encodeServiceReply(reply) != bytes.substr(0, used))
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varnick::PacketBuffer body(static_cast<std::uint32_t>(size));
  if (size != 0) {
    std::memcpy(body.data(), data, size);
  } else {
    // An empty body still gets a block of one byte; it is not part of the
    // body, so reading it must crash too.
    ASAN_POISON_MEMORY_REGION(body.data(), 1);
  }
  varnick::Request request = varnick::decodeRequest(body);
  // Whatever was read must stay inside the body.
  if (body.position() + body.remaining() != body.size() || body.position() > size) __builtin_trap();
  if (request.kind == varnick::RequestKind::kAdd && request.entry.find('\0') != std::string::npos) {
    __builtin_trap();
  }
  feedService(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
