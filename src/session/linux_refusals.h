// The options that have no meaning in a Linux session, and what to say of
// each: the Windows session's varnick.exe, its port and its backup have
// nothing on Linux to stand for.
#pragma once

#include <optional>
#include <string>

#include "session/session_options.h"

namespace varnick::control {

// Why `options` cannot run on Linux, naming the first such option; nothing
// when they can. (--port 0, the default, says nothing and passes.)
std::optional<std::string> linuxRefusal(const SessionOptions& options);

}  // namespace varnick::control
