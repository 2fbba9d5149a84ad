// What `varnick-session --clean` removes without administrator rights: the
// folder that sessions run Varnick in, with Varnick's logs.
#pragma once

#include <string>

namespace varnick::control {

// Removes varnick.log and its numbered copies from `folder`, then the folder
// when nothing else is in it; says what it removed and what it left, and
// why. Only plain files are removed: a link at one of those names stays, so
// nothing elsewhere goes with it. True unless a file of Varnick's could not
// go for another reason than that a running Varnick has it open.
bool cleanVarnickFolder(const std::wstring& folder);

}  // namespace varnick::control
