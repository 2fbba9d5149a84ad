// The system's clock, for the bounded retries.
#pragma once

#include <windows.h>

#include "hosts/replacement.h"

namespace varnick {

class SystemClock final : public RetryClock {
 public:
  std::uint64_t nowMs() override { return GetTickCount64(); }
  void sleepMs(std::uint32_t ms) override { Sleep(ms); }
};

}  // namespace varnick
