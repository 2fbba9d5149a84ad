#include <ctime>

#include "log/log_clock.h"

namespace varnick {

std::tm localTimeAt(std::time_t seconds) {
  std::tm result{};
  localtime_s(&result, &seconds);
  return result;
}

}  // namespace varnick
