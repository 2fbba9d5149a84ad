// Where a session's Varnick runs and keeps its log: the folder that
// varnick-session makes for it, --status looks into and --clean removes.
#pragma once

#include <optional>
#include <string>

namespace varnick {

// %LOCALAPPDATA%\Varnick, the folder that the session's Varnick runs in and
// keeps varnick.log in, whether it exists or not; nothing when LOCALAPPDATA
// is not set.
std::optional<std::wstring> varnickFolderPath();
constexpr wchar_t kVarnickLogName[] = L"varnick.log";

}  // namespace varnick
