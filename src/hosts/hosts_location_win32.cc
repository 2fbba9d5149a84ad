#include "hosts/hosts_location.h"

#include <windows.h>

#include <cwchar>

#include "base/file_identity_win32.h"
#include "base/unique_resource_win32.h"

namespace varnick {
namespace {

constexpr wchar_t kParametersKey[] = L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
constexpr wchar_t kHostsSuffix[] = L"\\hosts";

// Filled once by locateHostsFile and read-only afterwards. While the registry
// is read, the path buffer briefly holds the raw DataBasePath value.
wchar_t gHostsFilePath[kPathCapacity];
wchar_t gHostsDirectory[kPathCapacity];

using Located = Expected<void, LocateFailure>;

// Reads DataBasePath into the hosts file path buffer and makes sure it ends
// with a NUL inside the buffer: registry strings need not be terminated.
Located readDataBasePath(HKEY key) {
  wchar_t* buffer = gHostsFilePath;
  DWORD bytes = kPathCapacity * sizeof(wchar_t);
  const LONG status = RegQueryValueExW(key, L"DataBasePath", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer), &bytes);
  if (status != ERROR_SUCCESS) return failedAt(LocateStep::kNoValue, static_cast<DWORD>(status));
  std::size_t units = bytes / sizeof(wchar_t);
  if (units < kPathCapacity) {
    buffer[units] = L'\0';
    return {};
  }
  // The value fills the whole buffer: it fits only if it carries its own
  // NUL. One that does not needs more room, as a longer value does, for
  // which the registry itself says ERROR_MORE_DATA.
  if (buffer[kPathCapacity - 1] == L'\0') return {};
  return failedAt(LocateStep::kNoValue, ERROR_MORE_DATA);
}

Located expandHostsDirectory() {
  DWORD needed = ExpandEnvironmentStringsW(gHostsFilePath, gHostsDirectory, kPathCapacity);
  if (needed == 0) {
    const DWORD error = GetLastError();
    return failedAt(LocateStep::kNotExpanded, error, gHostsFilePath);
  }
  if (needed > kPathCapacity) return failedAt(LocateStep::kExpansionTooLong, 0, gHostsFilePath);
  return {};
}

Located buildHostsFilePath() {
  std::size_t directoryLength = std::wcslen(gHostsDirectory);
  std::size_t suffixLength = std::wcslen(kHostsSuffix);
  if (directoryLength + suffixLength + 1 > kPathCapacity)
    return failedAt(LocateStep::kPathTooLong, 0, gHostsDirectory);
  // Joined by hand rather than with wsprintfW: that is USER32's, and loading
  // USER32 costs more than the rest of a run under Wine.
  std::wmemcpy(gHostsFilePath, gHostsDirectory, directoryLength);
  std::wmemcpy(gHostsFilePath + directoryLength, kHostsSuffix, suffixLength + 1);
  return {};
}

Located locate() {
  HKEY rawKey = nullptr;
  const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_READ, &rawKey);
  if (opened != ERROR_SUCCESS) return failedAt(LocateStep::kNoKey, static_cast<DWORD>(opened));
  if (Located read = readDataBasePath(UniqueKey(rawKey).get()); !read) return read;
  if (Located expanded = expandHostsDirectory(); !expanded) return expanded;
  return buildHostsFilePath();
}

}  // namespace

Expected<void, LocateFailure> locateHostsFile() { return locate(); }

const wchar_t* hostsFilePath() { return gHostsFilePath; }
const wchar_t* hostsDirectory() { return gHostsDirectory; }

std::wstring besideHostsFile(const wchar_t* suffix) {
  std::wstring path = fullLongPath(gHostsDirectory);
  while (!path.empty() && path.back() == L'\\')
    path.pop_back();
  return path + kHostsSuffix + suffix;
}

}  // namespace varnick
