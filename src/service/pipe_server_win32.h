// The service's side of its pipe. Instances are made with a descriptor that
// lets interactive users read and write but not make instances, the first
// one first (so that a process that made one before the service is
// noticed), remote clients refused. A few instances always wait for
// clients, so that sessions that start together all find one. Every
// connection's reads are overlapped on one completion port and answered by
// a fixed pool of threads, so that a connection costs its buffers and no
// thread; the connections are bounded by user (`ConnectionBook`), and one
// that holds nothing and says nothing for a while is closed. No client can
// end the loop: a failed instance is counted and replaced, and only `stop`,
// or no instance at all for a bounded time, ends it. What a request does,
// and every record, is the owner's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/expected.h"
#include "link/session_report.h"
#include "service/connection_book.h"
#include "service/service_protocol.h"

namespace varnick {

// What ending a connection gives back: the reply, and the report of the
// lines taken out.
struct ConnectionEnd {
  ServiceReply reply;
  Report report;
};

// One connection's requests, answered in order; then its end. Its calls
// come from the pool's threads, one at a time.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  // Whose the connection is, for its bounds: the account's SID.
  virtual const std::string& user() const = 0;
  // Whether it holds entries now; one that does is never closed for room.
  virtual bool holdsEntries() const = 0;
  virtual ServiceReply hello(std::uint32_t clientVersion) = 0;
  // Who holds which entries through the service, as far as the caller may
  // see.
  virtual ServiceReply list() = 0;
  virtual ServiceReply add(const std::string& entry) = 0;
  // Takes the connection's lines out now.
  virtual ConnectionEnd end() = 0;
  // The connection is over (the client closed it or died, sent a frame it
  // may not, fell silent, gave way to another, or the service stops):
  // whatever it still holds goes.
  virtual void closed(bool malformed) = 0;
};

// How many connections the server closed or turned away since it last
// said so, and why; a flood is said in one record, not one a connection.
struct PipeTally {
  std::uint64_t overBounds = 0;  // turned away or displaced by ConnectionBook
  std::uint64_t idle = 0;        // held nothing and said nothing for too long
  std::uint64_t unknown = 0;     // whose process or user could not be read
  std::uint64_t failedInstances = 0;
  DWORD lastFailure = ERROR_SUCCESS;  // of the last failed instance
  bool any() const { return overBounds + idle + unknown + failedInstances != 0; }
};

// What the server asks of its owner.
class PipeOwner {
 public:
  virtual ~PipeOwner() = default;
  // The first instance exists: no client could connect before.
  virtual void ready() = 0;
  // The handler of a new connection from the process `clientPid`, made on
  // a thread of the pool; null when whose it is cannot be read.
  virtual std::unique_ptr<PipeConnection> connect(DWORD clientPid) = 0;
  // What the server closed or turned away lately; from the serving thread,
  // at most once a minute, and once at the end.
  virtual void tally(const PipeTally& tally) = 0;
};

struct PipeLimits {
  ConnectionBounds connections;
  DWORD idleMs = 10000;        // a connection that holds nothing and says nothing
  DWORD noInstanceMs = 30000;  // no instance waiting for clients: the server gives up
  DWORD writeMs = 5000;        // a reply the client does not read
  unsigned threads = 4;
  unsigned waitingInstances = 4;
};

// Serves the pipe until `stop` is signalled, then ends every connection
// and waits for the pool. Done after `stop`; the failure is the error code
// that kept the first instance from being made (ERROR_ACCESS_DENIED or
// ERROR_PIPE_BUSY when another process made one first), or the last
// instance's error when none could be made for `noInstanceMs`.
SystemResult servePipe(HANDLE stop, PipeOwner& owner, const PipeLimits& limits = {});

}  // namespace varnick
