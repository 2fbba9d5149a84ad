#include <windows.h>

#include <string>

#include "session/session_output.h"

namespace varnick::control {

void writeStandardOutput(const std::string& bytes) {
  // One write a line, so that a reader never sees half of one; the C
  // runtime's text mode would turn LF into CR LF, and its buffer would split
  // a long line.
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

}  // namespace varnick::control
