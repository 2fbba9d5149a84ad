#include "modes/out_of_memory_record.h"

namespace varnick {

void OutOfMemoryRecord::log(std::uint32_t bodyLength) const {
  logMessage(kCrit, packetLog_, "Insufficent memory for packet of %d bytes",
             static_cast<std::int32_t>(bodyLength));
}

}  // namespace varnick
