#include "base/file_identity_win32.h"

#include <cstring>
#include <vector>

namespace varnick {
namespace {

// GetFinalPathNameByHandleW names a file as "\\?\C:\..." or "\\?\UNC\...".
std::wstring withoutLongPrefix(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

std::wstring finalPathOf(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return withoutLongPrefix(std::move(path));
    }
    path.resize(length + 1);
  }
}

bool sameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring fullLongPath(const wchar_t* path) {
  DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  full.resize(GetFullPathNameW(path, needed, full.data(), nullptr));
  needed = GetLongPathNameW(full.c_str(), nullptr, 0);
  // A name that does not exist yet has no long form to look up.
  if (needed == 0) return full;
  std::wstring longPath(needed, L'\0');
  longPath.resize(GetLongPathNameW(full.c_str(), longPath.data(), needed));
  return longPath.empty() ? full : longPath;
}

DWORD checkIsFileMeant(HANDLE file, const std::wstring& meantPath) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return GetLastError();
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    return kErrorIsLink;
  }
  // The name the system reached the file by: a link on the way shows here as
  // its target's path.
  std::wstring reached = finalPathOf(file);
  if (reached.empty()) return GetLastError();
  return sameName(reached, meantPath) ? ERROR_SUCCESS : kErrorIsLink;
}

DWORD deleteByHandle(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
    return GetLastError();
  return ERROR_SUCCESS;
}

DWORD renameByHandle(HANDLE file, const std::wstring& target) {
  const std::size_t nameBytes = target.size() * sizeof(wchar_t);
  // The structure ends in the name; room for its terminator too.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, target.c_str(), nameBytes);
  if (!SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
    return GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace varnick
