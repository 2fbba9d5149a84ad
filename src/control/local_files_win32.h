// The files that varnick-session looks at without administrator rights:
// the folder its Varnick runs in, and plain files found and read there or
// beside the hosts file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnick::control {

// %LOCALAPPDATA%\Varnick, the folder that the session's Varnick runs in and
// keeps varnick.log in, whether it exists or not; nothing when LOCALAPPDATA
// is not set.
std::optional<std::wstring> varnickFolderPath();
constexpr wchar_t kVarnickLogName[] = L"varnick.log";

}  // namespace varnick::control
