// varnick-session --status.
#pragma once

namespace varnick::control {

// Prints on standard output what runs and what earlier sessions and `varnick
// del` left, one fact a line, or with `json` as one JSON object on one line;
// takes no lock and changes nothing. Returns 0.
int reportStatus(bool json);

}  // namespace varnick::control
