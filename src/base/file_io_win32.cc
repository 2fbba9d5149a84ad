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

Expected<std::string, std::uint32_t> readAll(HANDLE file) {
  // Room for what the file holds now, so that a large file is not copied
  // over and over as the string grows; a file that grows meanwhile still
  // comes in whole.
  std::string content;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0)
    content.reserve(static_cast<std::size_t>(size.QuadPart));
  std::vector<char> block(kBlockSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, block.data(), kBlockSize, &got, nullptr)) {
      const DWORD error = GetLastError();
      return unexpected(error);
    }
    if (got == 0) return content;
    content.append(block.data(), got);
  }
}

Expected<std::string, std::uint32_t> readShared(const wchar_t* path) {
  UniqueFile file(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return readAll(file.get());
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

Expected<std::vector<FoundFile>, std::uint32_t> listFiles(const std::wstring& folder,
                                                          const wchar_t* pattern) {
  std::wstring prefix = folder;
  if (!prefix.empty() && prefix.back() != L'\\') prefix += L'\\';
  std::vector<FoundFile> found;
  WIN32_FIND_DATAW data;
  UniqueSearch search(FindFirstFileW((prefix + pattern).c_str(), &data));
  if (!search) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return found;
    return unexpected(error);
  }
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    found.push_back({prefix + data.cFileName, sizeFromHalves(data.nFileSizeHigh, data.nFileSizeLow),
                     data.ftLastWriteTime});
  } while (FindNextFileW(search.get(), &data));
  const DWORD error = GetLastError();
  if (error == ERROR_NO_MORE_FILES) return found;
  return unexpected(error);
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
