#include "base/file_identity_win32.h"

#include <cstring>
#include <vector>

#include "base/unique_resource_win32.h"

namespace varnick {
namespace {

// Calls `fill(buffer, size)`, a Win32 call that returns the length written
// or, when the buffer is short, the size it needs; empty on failure.
template <typename Fill>
std::wstring filledText(Fill fill) {
  std::wstring text(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
    if (length == 0) return {};
    if (length < text.size()) {
      text.resize(length);
      return text;
    }
    text.resize(length);
  }
  return {};
}

// The NT form of a full path, which a rename by handle takes on Windows and
// under Wine alike.
std::wstring ntPath(const std::wstring& full) {
  if (full.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + full.substr(4);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

}  // namespace

std::wstring reachedPath(HANDLE file) {
  std::wstring path = filledText([file](wchar_t* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

std::wstring fullLongPath(const wchar_t* path) {
  std::wstring full = filledText([path](wchar_t* buffer, DWORD size) {
    return GetFullPathNameW(path, size, buffer, nullptr);
  });
  if (full.empty()) return path;
  // A name that does not exist yet has no long form to look up.
  std::wstring longPath = filledText([&full](wchar_t* buffer, DWORD size) {
    return GetLongPathNameW(full.c_str(), buffer, size);
  });
  return longPath.empty() ? full : longPath;
}

SystemResult checkIsFileMeant(HANDLE file, const std::wstring& meantPath) {
  if (GetFileType(file) != FILE_TYPE_DISK) return unexpected(kErrorIsLink);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    return unexpected(kErrorIsLink);
  }
  // Wine follows a Linux symbolic link whatever the flags and shows no
  // reparse point on the file it opened: the path by which the system
  // reached the file gives the link away, as it does a linked folder.
  std::wstring reached = reachedPath(file);
  if (reached.empty()) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  if (CompareStringOrdinal(reached.c_str(), static_cast<int>(reached.size()), meantPath.c_str(),
                           static_cast<int>(meantPath.size()), TRUE) != CSTR_EQUAL)
    return unexpected(kErrorIsLink);
  return {};
}

SystemResult deleteByHandle(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

SystemResult removePlainFile(const std::wstring& path, DWORD share) {
  UniqueFile file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, share, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return systemResult(error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error);
  }
  // Removing a link by name may remove what it leads to: only a plain file
  // at the very name meant goes, through the handle that was checked.
  if (SystemResult meant = checkIsFileMeant(file.get(), path); !meant) return meant;
  return deleteByHandle(file.get());
}

SystemResult renameByHandle(HANDLE file, const std::wstring& target) {
  const std::wstring full = filledText([&target](wchar_t* buffer, DWORD size) {
    return GetFullPathNameW(target.c_str(), size, buffer, nullptr);
  });
  if (full.empty()) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  const std::wstring name = ntPath(full);
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  // The structure ends in the name; room for its terminator too.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, name.c_str(), nameBytes);
  if (!SetFileInformationByHandle(file, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

}  // namespace varnick
