#include "base/file_io_win32.h"

#include <vector>

#include "base/unique_resource_win32.h"

namespace varnick {
namespace {

// Large enough that a 50 MB hosts file takes few calls.
constexpr DWORD kBlockSize = 1 << 20;

}  // namespace

SystemResult writeAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  if (!WriteFile(file, data, size, &written, nullptr)) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  if (written != size) return unexpected(ERROR_WRITE_FAULT);
  return {};
}

SystemResult readAll(HANDLE file, std::string& content) {
  // Room for what the file holds now, so that a large file is not copied
  // over and over as the string grows; a file that grows meanwhile still
  // comes in whole.
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0)
    content.reserve(content.size() + static_cast<std::size_t>(size.QuadPart));
  std::vector<char> block(kBlockSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, block.data(), kBlockSize, &got, nullptr)) {
      const DWORD error = GetLastError();
      return unexpected(error);
    }
    if (got == 0) return {};
    content.append(block.data(), got);
  }
}

SystemResult readShared(const wchar_t* path, std::string& content) {
  UniqueFile file(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return readAll(file.get(), content);
}

SystemResult copyAll(HANDLE from, HANDLE to) {
  std::vector<char> block(kBlockSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, block.data(), kBlockSize, &got, nullptr)) {
      const DWORD error = GetLastError();
      return unexpected(error);
    }
    if (got == 0) return {};
    if (SystemResult written = writeAll(to, block.data(), got); !written) return written;
  }
}

SystemResult listFiles(const std::wstring& folder, const wchar_t* pattern,
                       std::vector<FoundFile>& found) {
  std::wstring prefix = folder;
  if (!prefix.empty() && prefix.back() != L'\\') prefix += L'\\';
  WIN32_FIND_DATAW data;
  UniqueSearch search(FindFirstFileW((prefix + pattern).c_str(), &data));
  if (!search) {
    const DWORD error = GetLastError();
    return systemResult(error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error);
  }
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    found.push_back({prefix + data.cFileName, sizeFromHalves(data.nFileSizeHigh, data.nFileSizeLow),
                     data.ftLastWriteTime});
  } while (FindNextFileW(search.get(), &data));
  const DWORD error = GetLastError();
  return systemResult(error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error);
}

std::wstring thisProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) ==
         path.size()) {
    path.resize(path.size() * 2);
  }
  path.resize(length);
  return path;
}

}  // namespace varnick
