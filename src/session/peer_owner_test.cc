#include "session/peer_owner.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 as the table stores it
const Endpoint kListener{kLoopback, 50000};
const Endpoint kHelperSide{kLoopback, 61000};
constexpr std::uint32_t kUs = 100;
constexpr std::uint32_t kHelper = 200;
constexpr std::uint32_t kIntruder = 300;

// Both rows of one loopback connection: ours and the peer's.
std::vector<TcpConnection> connection(std::uint32_t peerPid, std::uint32_t ourPid = kUs) {
  return {TcpConnection{kListener, kHelperSide, ourPid},
          TcpConnection{kHelperSide, kListener, peerPid}};
}

TEST(CheckPeerOwner, ComparesThePeersOwnRow) {
  EXPECT_EQ(checkPeerOwner(connection(kHelper), kHelperSide, kListener, kHelper),
            PeerOwner::kExpected);
  // Another process connected first: refused, even though our own row (the
  // first in the table) is owned by a process that is not the intruder.
  EXPECT_EQ(checkPeerOwner(connection(kIntruder), kHelperSide, kListener, kHelper),
            PeerOwner::kOtherProcess);
  // Our own row must not be taken for the peer's: with the helper's pid on
  // our row and the intruder's on the peer's, the peer is still refused.
  EXPECT_EQ(checkPeerOwner(connection(kIntruder, kHelper), kHelperSide, kListener, kHelper),
            PeerOwner::kOtherProcess);
}

TEST(CheckPeerOwner, UnknownWhenTheTableCannotSay) {
  // Some platforms list the connection but report every owner as 0.
  EXPECT_EQ(checkPeerOwner(connection(0, 0), kHelperSide, kListener, kHelper), PeerOwner::kUnknown);
  EXPECT_EQ(checkPeerOwner({}, kHelperSide, kListener, kHelper), PeerOwner::kUnknown);
  // A row for another port pair says nothing about this connection.
  std::vector<TcpConnection> other = {TcpConnection{{kLoopback, 61001}, kListener, kIntruder}};
  EXPECT_EQ(checkPeerOwner(other, kHelperSide, kListener, kHelper), PeerOwner::kUnknown);
}

}  // namespace
}  // namespace varnick::control
