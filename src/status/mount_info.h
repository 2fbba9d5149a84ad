// Whether a path is a mount point, as /proc/self/mountinfo lists them: a
// hosts file bind-mounted over /etc/hosts (as a container has it) cannot
// be replaced by a rename, only rewritten in place.
#pragma once

#include <string_view>

namespace varnick::control {

// Whether `mountInfo` (the text of /proc/self/mountinfo) lists `path` as the
// mount point of a mount: its fifth field, with a space, tab, newline or
// backslash written as \040, \011, \012 and \134.
bool listsMountPoint(std::string_view mountInfo, std::string_view path);

}  // namespace varnick::control
