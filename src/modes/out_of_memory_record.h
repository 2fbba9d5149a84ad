// The record of a request whose body is too large for memory.
#pragma once

#include <cstdint>

#include "log/logging.h"

namespace varnick {

// Made before serving: the `Packet` logger is fetched (and made, on first
// use) then, so that the record itself allocates nothing when memory is
// short.
class OutOfMemoryRecord {
 public:
  OutOfMemoryRecord() : packetLog_(getLogger("Packet")) {}

  // Logs "Insufficent memory for packet of <n> bytes" at CRIT, with the
  // body's length shown signed (2^32 - 1 bytes reads as -1): log readers look
  // for this text, spelling and sign included.
  void log(std::uint32_t bodyLength) const;

 private:
  Logger* packetLog_;
};

}  // namespace varnick
