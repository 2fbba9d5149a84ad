#include <ctime>

#include "log/log_clock.h"

namespace varnick {

std::tm localTimeNow() {
  std::time_t seconds = std::time(nullptr);
  std::tm result{};
  localtime_s(&result, &seconds);
  return result;
}

}  // namespace varnick
