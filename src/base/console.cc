#include "base/console.h"

#include <cstdarg>
#include <cstdio>

namespace varnick {

namespace {

// Larger than any message or record, so that each leaves in one write.
constexpr std::size_t kConsoleBufferSize = 4096;

}  // namespace

void bufferConsoleOutput() {
  // On failure stdout stays as it was: slower on a character device, the
  // same text.
  (void)std::setvbuf(stdout, nullptr, _IOFBF, kConsoleBufferSize);
}

void printText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace varnick
