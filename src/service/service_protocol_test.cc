#include "service/service_protocol.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

TEST(ServiceProtocol, FramesComeBackWholeAndOnlyWhole) {
  ServiceRequest add{ServiceOp::kAdd, 0, "127.0.0.1 app.test"};
  const std::string stream = encodeServiceRequest(ServiceRequest{ServiceOp::kHello, 1, {}}) +
                             encodeServiceRequest(add) +
                             encodeServiceRequest({ServiceOp::kEnd, 0, {}});
  std::string_view rest = stream;
  std::vector<ServiceOp> ops;
  for (FrameTaken<ServiceRequest> taken = takeServiceRequest(rest); taken.read == FrameRead::kWhole;
       taken = takeServiceRequest(rest)) {
    ops.push_back(taken.content.op);
    if (taken.content.op == ServiceOp::kAdd) EXPECT_EQ(taken.content.entry, add.entry);
    rest.remove_prefix(taken.used);
  }
  EXPECT_EQ(ops, (std::vector<ServiceOp>{ServiceOp::kHello, ServiceOp::kAdd, ServiceOp::kEnd}));
  EXPECT_TRUE(rest.empty());
  // Cut anywhere: not yet whole.
  const std::string one = encodeServiceRequest(add);
  for (std::size_t size = 0; size < one.size(); ++size)
    EXPECT_EQ(takeServiceRequest(one.substr(0, size)).read, FrameRead::kNeedMore);
  // Refused outright: an empty or oversized frame, an unknown op code, a
  // body longer or shorter than its op code reads.
  for (const std::string& bad :
       {std::string("\0\0\0\0", 4), std::string("\0\0\x10\x01", 4), std::string("\0\0\0\1\2", 5),
        std::string("\0\0\0\2\3\0", 6), std::string("\0\0\0\4\x10\0\0\0", 8),
        std::string("\0\0\0\6\1\0\0\0\2x", 10)}) {
    EXPECT_EQ(takeServiceRequest(bad).read, FrameRead::kMalformed);
  }

  const ServiceReply refused{ServiceStatus::kRefused, PolicyRule::kName, 0, "'a.example' is ..."};
  const FrameTaken<ServiceReply> reply = takeServiceReply(encodeServiceReply(refused));
  ASSERT_EQ(reply.read, FrameRead::kWhole);
  EXPECT_EQ(reply.content.rule, PolicyRule::kName);
  EXPECT_EQ(reply.content.text, refused.text);
  // A status or rule that no service sends is no reply.
  std::string unknown = encodeServiceReply(refused);
  unknown[4] = 3;
  EXPECT_EQ(takeServiceReply(unknown).read, FrameRead::kMalformed);
}

}  // namespace
}  // namespace varnick
