#include <ctime>

#include "log/log_clock.h"

namespace varnick {

std::tm localTimeNow() {
  std::time_t seconds = std::time(nullptr);
  std::tm result{};
  localtime_r(&seconds, &result);
  return result;
}

}  // namespace varnick
