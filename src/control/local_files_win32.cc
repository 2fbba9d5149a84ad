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

std::vector<FoundFile> findFiles(const std::wstring& folder, const wchar_t* pattern) {
  std::wstring prefix = folder;
  if (!prefix.empty() && prefix.back() != L'\\') prefix += L'\\';
  std::vector<FoundFile> found;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((prefix + pattern).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    found.push_back({prefix + data.cFileName, sizeFromHalves(data.nFileSizeHigh, data.nFileSizeLow),
                     data.ftLastWriteTime});
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return found;
}

DWORD readShared(const wchar_t* path, std::string& content) {
  UniqueFile file(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  return readAll(file.get(), content);
}

}  // namespace varnick::control
