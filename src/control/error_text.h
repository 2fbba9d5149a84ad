// How varnick-session names a system error code in its messages.
#pragma once

#include <string>

namespace varnick::control {

// "(error <code>)".
inline std::string errorInParentheses(unsigned long code) {
  return "(error " + std::to_string(code) + ")";
}

// "<what> (error <code>)".
inline std::string withCode(const std::string& what, unsigned long code) {
  return what + " " + errorInParentheses(code);
}

}  // namespace varnick::control
