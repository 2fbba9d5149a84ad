// Feeds arbitrary request bodies to the decoding, as the server receives
// them: under AddressSanitizer, any read outside the block is a crash. The
// same bytes go to the service's pipe decoding, as a stream that any user
// may send, and to the report reading of both its clients; the bytes
// themselves, and an entry the service takes, go through the default policy,
// and whatever it allows must point at this machine under reserved names.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "hosts/ip_address.h"
#include "link/request.h"
#include "link/session_report.h"
#include "service/entry_policy.h"
#include "service/service_protocol.h"

namespace {

// `a` in any case is `b`, which is in lower case.
bool sameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

bool isReservedName(std::string_view name) {
  const auto under = [name](std::string_view suffix) {
    return sameLetters(name, suffix) ||
           (name.size() > suffix.size() && name[name.size() - suffix.size() - 1] == '.' &&
            sameLetters(name.substr(name.size() - suffix.size()), suffix));
  };
  return under("test") || under("localhost");
}

bool isLoopback(std::string_view field) {
  const std::optional<varnick::IpAddress> address = varnick::parseIpAddress(field);
  if (!address) return false;
  if (address->family == varnick::IpFamily::kIpv4)
    return address->bytes[0] == 127 && field.substr(0, 4) == "127.";
  constexpr std::array<std::uint8_t, 16> kOne{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return address->bytes == kOne;
}

// What the default policy allows, checked by code of its own: the blank
// separated fields up to a comment, the first a loopback address and every
// other a name that is, or ends in, .test or .localhost in any case.
void checkAllowed(std::string_view entry) {
  if (!varnick::checkEntry(varnick::EntryPolicy{}, entry, 0, 0).allowed()) return;
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; at < entry.size();) {
    const std::size_t end = entry.find_first_of(" \t", at);
    const std::string_view field = entry.substr(at, end - at);
    if (!field.empty() && field[0] == '#') break;
    if (!field.empty()) fields.push_back(field);
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  if (fields.size() < 2 || !isLoopback(fields[0])) __builtin_trap();
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (!isReservedName(fields[i])) __builtin_trap();
  }
}

// A report is taken whole, exactly as it encodes, or more is asked for.
void feedReport(std::string_view bytes) {
  const varnick::FrameTaken<varnick::Report> taken =
      varnick::takeReport(bytes, varnick::kMaxServiceFrame * 64);
  switch (taken.read) {
    case varnick::FrameRead::kWhole:
      if (taken.used > bytes.size() ||
          varnick::reportFrame(taken.content) != bytes.substr(0, taken.used))
        __builtin_trap();
      break;
    case varnick::FrameRead::kNeedMore:
      if (taken.used <= bytes.size()) __builtin_trap();
      break;
    case varnick::FrameRead::kMalformed:
      break;
  }
}

// A frame the service takes is exactly the bytes that its request encodes
// to: nothing before or after it is read, and nothing is read twice.
void feedService(std::string_view bytes) {
  const varnick::FrameTaken<varnick::ServiceRequest> request = varnick::takeServiceRequest(bytes);
  if (request.read == varnick::FrameRead::kWhole) {
    if (request.used > bytes.size() ||
        varnick::encodeServiceRequest(request.content) != bytes.substr(0, request.used))
      __builtin_trap();
    checkAllowed(request.content.entry);
  }
  const varnick::FrameTaken<varnick::ServiceReply> reply = varnick::takeServiceReply(bytes);
  if (reply.read == varnick::FrameRead::kWhole) {
    if (reply.used > bytes.size() ||
        varnick::encodeServiceReply(reply.content) != bytes.substr(0, reply.used))
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
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  feedService(bytes);
  feedReport(bytes);
  checkAllowed(bytes);
  return 0;
}
