#include "control/local_files_win32.h"

#include "base/file_io_win32.h"
#include "base/unique_resource.h"

namespace varnick::control {

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

DWORD readShared(const wchar_t* path, std::string& content) {
  UniqueFile file(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  return readAll(file.get(), content);
}

}  // namespace varnick::control
