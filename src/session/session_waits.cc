#include "session/session_waits.h"

#include <algorithm>

namespace varnick::control {

std::uint64_t PatientWait::sliceMs(std::uint64_t nowMs, std::uint64_t maxSliceMs) const {
  std::uint64_t done = elapsed(nowMs);
  if (done >= limit_) return 0;
  std::uint64_t slice = std::min(maxSliceMs, limit_ - done);
  if (!noticed_ && done < notice_) slice = std::min(slice, notice_ - done);
  return slice;
}

bool PatientWait::noticeDue(std::uint64_t nowMs) {
  if (noticed_ || elapsed(nowMs) < notice_ || expired(nowMs)) return false;
  noticed_ = true;
  return true;
}

}  // namespace varnick::control
