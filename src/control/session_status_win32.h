// varnick-session --status.
#pragma once

namespace varnick::control {

// Prints on standard output what runs and what earlier sessions and `varnick
// del` left, one fact a line; takes no lock and changes nothing. Returns 0.
int reportStatus();

}  // namespace varnick::control
