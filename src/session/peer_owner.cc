#include "session/peer_owner.h"

namespace varnick::control {

PeerOwner checkPeerOwner(const std::vector<TcpConnection>& table, const Endpoint& peer,
                         const Endpoint& us, std::uint32_t expectedPid) {
  for (const TcpConnection& row : table) {
    if (!(row.local == peer) || !(row.remote == us)) continue;
    if (row.owningPid == 0) return PeerOwner::kUnknown;
    return row.owningPid == expectedPid ? PeerOwner::kExpected : PeerOwner::kOtherProcess;
  }
  return PeerOwner::kUnknown;
}

}  // namespace varnick::control
