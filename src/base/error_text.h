// How a message names a system error code.
#pragma once

#include <string>

namespace varnick {

// "(error <code>)".
inline std::string errorInParentheses(unsigned long code) {
  return "(error " + std::to_string(code) + ")";
}

// "<what> (error <code>)".
inline std::string withCode(const std::string& what, unsigned long code) {
  return what + " " + errorInParentheses(code);
}

}  // namespace varnick
