#include "log/log_folder_win32.h"

#include <windows.h>

namespace varnick {

std::optional<std::wstring> varnickFolderPath() {
  std::wstring base(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(),
                                           static_cast<DWORD>(base.size()))) > base.size()) {
    base.resize(length);
  }
  if (length == 0) return std::nullopt;
  base.resize(length);
  return base + L"\\Varnick";
}

}  // namespace varnick
