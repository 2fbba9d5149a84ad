// varnick-session --status --json: what --status found, as one JSON object
// for programs. docs/events.md describes each field.
#pragma once

#include <string>

#include "status/status_lines.h"

namespace varnick::control {

// The facts as one line of JSON, ending in LF.
std::string statusJson(const StatusFacts& facts);

}  // namespace varnick::control
