#include "link/request.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "link/wire_format.h"

namespace varnick {
namespace {

using Bytes = std::vector<std::uint8_t>;

Request decode(const Bytes& body) {
  PacketBuffer buffer(static_cast<std::uint32_t>(body.size()));
  if (!body.empty()) std::memcpy(buffer.data(), body.data(), body.size());
  return decodeRequest(buffer);
}

Bytes addBody(const std::string& entry, const Bytes& extra = {}) {
  auto n = static_cast<std::uint32_t>(entry.size());
  Bytes body = {1, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  body.insert(body.end(), entry.begin(), entry.end());
  body.insert(body.end(), extra.begin(), extra.end());
  return body;
}

// The body of a frame that the controller side builds, as the server is left
// with it after reading the length field.
Bytes bodyOf(const std::string& frame) {
  if (frame.size() < kLengthFieldSize) {
    ADD_FAILURE() << "frame of " << frame.size() << " bytes has no length field";
    return {};
  }
  std::uint32_t length = readBigEndian32(reinterpret_cast<const std::uint8_t*>(frame.data()));
  EXPECT_EQ(length, frame.size() - kLengthFieldSize);
  return Bytes(frame.begin() + kLengthFieldSize, frame.end());
}

struct Case {
  const char* name;
  Bytes body;
  RequestKind kind;
  std::int8_t opCode;
  std::string entry;
};

TEST(DecodeRequest, OpCodesAndOperands) {
  const Case cases[] = {
      {"add", addBody("10.0.0.1 a.test"), RequestKind::kAdd, 1, "10.0.0.1 a.test"},
      {"add, empty entry", addBody(""), RequestKind::kAdd, 1, ""},
      {"add, zero byte inside", addBody(std::string("ab\0cd", 5)), RequestKind::kAdd, 1, "ab"},
      {"add, zero byte first", addBody(std::string("\0x", 2)), RequestKind::kAdd, 1, ""},
      {"add, extra bytes", addBody("e", {9, 9, 9}), RequestKind::kAdd, 1, "e"},
      {"remove", {2}, RequestKind::kRemove, 2, ""},
      {"remove, extra bytes", {2, 1, 0, 0, 0, 1, 'x'}, RequestKind::kRemove, 2, ""},
      {"shutdown", {3}, RequestKind::kShutdown, 3, ""},
      {"shutdown, extra bytes", {3, 3, 3}, RequestKind::kShutdown, 3, ""},
      {"op 0", {0}, RequestKind::kInvalid, 0, ""},
      {"op 4", {4}, RequestKind::kInvalid, 4, ""},
      {"op 127", {0x7F}, RequestKind::kInvalid, 127, ""},
      {"op 0x80", {0x80}, RequestKind::kInvalid, -128, ""},
      {"op 0xFF", {0xFF, 0, 0, 0, 0}, RequestKind::kInvalid, -1, ""},
      {"op 0x81 looks like add + 0x80", {0x81, 0, 0, 0, 0}, RequestKind::kInvalid, -127, ""},
      {"empty body", {}, RequestKind::kTooShort, 0, ""},
      // What the controller sends must be what the server reads.
      {"controller's add", bodyOf(addRequest("10.0.0.1 a.test").value()), RequestKind::kAdd, 1,
       "10.0.0.1 a.test"},
      {"controller's add, empty entry", bodyOf(addRequest("").value()), RequestKind::kAdd, 1, ""},
      {"controller's add, 254 bytes", bodyOf(addRequest(std::string(254, 'e')).value()),
       RequestKind::kAdd, 1, std::string(254, 'e')},
      {"controller's remove", bodyOf(removeRequest()), RequestKind::kRemove, 2, ""},
      {"controller's shutdown", bodyOf(shutdownRequest()), RequestKind::kShutdown, 3, ""},
  };
  for (const Case& c : cases) {
    Request r = decode(c.body);
    EXPECT_EQ(r.kind, c.kind) << c.name;
    EXPECT_EQ(r.opCode, c.opCode) << c.name;
    EXPECT_EQ(r.entry, c.entry) << c.name;
  }
}

TEST(DecodeRequest, EveryTruncationOfAnAddIsTooShort) {
  for (const char* entry : {"", "x", "127.0.0.1 t.test"}) {
    Bytes whole = addBody(entry);
    ASSERT_EQ(decode(whole).kind, RequestKind::kAdd);
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      Request r = decode(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      EXPECT_EQ(r.kind, RequestKind::kTooShort) << entry << " cut " << cut;
      EXPECT_EQ(r.opCode, 1) << entry << " cut " << cut;
    }
  }
}

TEST(DecodeRequest, EntryLengthBeyondTheBodyIsTooShort) {
  for (std::uint32_t n : {6u, 0x7FFFFFFFu, 0xFFFFFFFBu, 0xFFFFFFFFu}) {
    Bytes body = {1,
                  static_cast<std::uint8_t>(n >> 24),
                  static_cast<std::uint8_t>(n >> 16),
                  static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n),
                  'a',
                  'b',
                  'c',
                  'd',
                  'e'};
    EXPECT_EQ(decode(body).kind, RequestKind::kTooShort) << n;
  }
}

TEST(NextReceiveSize, NeverAsksForMoreThanAnIntHolds) {
  const std::pair<std::uint32_t, int> cases[] = {{0u, 0},
                                                 {1u, 1},
                                                 {4u, 4},
                                                 {0x7FFFFFFFu, 0x7FFFFFFF},
                                                 {0x80000000u, 0x7FFFFFFF},
                                                 {0xFFFFFFF0u, 0x7FFFFFFF},
                                                 {0xFFFFFFFFu, 0x7FFFFFFF}};
  for (const auto& [wanted, asked] : cases)
    EXPECT_EQ(nextReceiveSize(wanted), asked) << wanted;
}

}  // namespace
}  // namespace varnick
