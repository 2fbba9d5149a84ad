// Feeds arbitrary request bodies to the decoding, as the server receives
// them: under AddressSanitizer, any read outside the block is a crash.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sanitizer/asan_interface.h>

#include "link/request.h"

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
  return 0;
}
