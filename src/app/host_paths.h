// The two process-wide path buffers that start-up fills and the modes read.
#pragma once

#include <cstddef>

namespace varnick {

constexpr std::size_t kPathCapacity = 260;  // wide characters, terminating NUL included

// Full path of the hosts file: the hosts directory followed by "\hosts".
// While the registry is read it briefly holds the raw DataBasePath value.
wchar_t* hostsFilePath();

// DataBasePath after environment expansion, exactly as expanded.
wchar_t* hostsDirectory();

}  // namespace varnick
