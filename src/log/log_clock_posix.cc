#include <ctime>

#include "log/log_clock.h"

namespace varnick {

std::tm localTimeAt(std::time_t seconds) {
  std::tm result{};
  localtime_r(&seconds, &result);
  return result;
}

}  // namespace varnick
