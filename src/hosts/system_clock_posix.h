// The system's monotonic clock, for the bounded retries.
#pragma once

#include <time.h>

#include <cerrno>

#include "hosts/replacement.h"

namespace varnick {

class SystemClock final : public RetryClock {
 public:
  std::uint64_t nowMs() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  }
  void sleepMs(std::uint32_t ms) override {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace varnick
