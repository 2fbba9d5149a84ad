// Whether this process runs with administrator rights in force.
#pragma once

namespace varnick {

// Whether this process runs with administrator rights in force (an elevated
// token), and so starts Varnick without asking and may look at what only
// administrators may open.
bool runsElevated();

}  // namespace varnick
