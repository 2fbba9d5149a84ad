// Which process owns the other end of an accepted connection, from the
// system's table of TCP connections.
#pragma once

#include <cstdint>
#include <vector>

namespace varnick::control {

struct Endpoint {
  std::uint32_t address = 0;  // IPv4, network byte order as the table gives it
  std::uint16_t port = 0;     // host byte order
  bool operator==(const Endpoint& other) const {
    return address == other.address && port == other.port;
  }
};

struct TcpConnection {
  Endpoint local;
  Endpoint remote;
  std::uint32_t owningPid = 0;
};

enum class PeerOwner {
  kExpected,      // the connection's other end belongs to the expected process
  kOtherProcess,  // it belongs to some other process: refuse it
  kUnknown,       // the table does not say (no row, or the platform reports pid 0)
};

// Looks up the connection whose local end is `peer` and whose remote end is
// `us` (the peer's own row in the table) and compares its owner with
// `expectedPid`.
PeerOwner checkPeerOwner(const std::vector<TcpConnection>& table, const Endpoint& peer,
                         const Endpoint& us, std::uint32_t expectedPid);

}  // namespace varnick::control
