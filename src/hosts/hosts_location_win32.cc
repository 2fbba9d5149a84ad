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

// Reads DataBasePath into the hosts file path buffer and makes sure it ends
// with a NUL inside the buffer: registry strings need not be terminated.
bool readDataBasePath(HKEY key) {
  wchar_t* buffer = gHostsFilePath;
  DWORD bytes = kPathCapacity * sizeof(wchar_t);
  LONG status = RegQueryValueExW(key, L"DataBasePath", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(buffer), &bytes);
  if (status != ERROR_SUCCESS) return false;
  std::size_t units = bytes / sizeof(wchar_t);
  if (units < kPathCapacity) {
    buffer[units] = L'\0';
    return true;
  }
  // The value fills the whole buffer: it fits only if it carries its own NUL.
  return buffer[kPathCapacity - 1] == L'\0';
}

using Failure = LocateFailure;

Failure expandHostsDirectory() {
  DWORD needed = ExpandEnvironmentStringsW(gHostsFilePath, gHostsDirectory, kPathCapacity);
  if (needed == 0) return Failure::kNotExpanded;
  if (needed > kPathCapacity) return Failure::kExpansionTooLong;
  return Failure::kNone;
}

Failure buildHostsFilePath() {
  std::size_t directoryLength = std::wcslen(gHostsDirectory);
  std::size_t suffixLength = std::wcslen(kHostsSuffix);
  if (directoryLength + suffixLength + 1 > kPathCapacity) return Failure::kPathTooLong;
  // Joined by hand rather than with wsprintfW: that is USER32's, and loading
  // USER32 costs more than the rest of a run under Wine.
  std::wmemcpy(gHostsFilePath, gHostsDirectory, directoryLength);
  std::wmemcpy(gHostsFilePath + directoryLength, kHostsSuffix, suffixLength + 1);
  return Failure::kNone;
}

Failure locate() {
  HKEY rawKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_READ, &rawKey) != ERROR_SUCCESS) {
    return Failure::kNoKey;
  }
  if (!readDataBasePath(UniqueKey(rawKey).get())) return Failure::kNoValue;
  if (Failure failure = expandHostsDirectory(); failure != Failure::kNone) return failure;
  return buildHostsFilePath();
}

}  // namespace

LocateFailure locateHostsFile() { return locate(); }

const wchar_t* hostsFilePath() { return gHostsFilePath; }
const wchar_t* hostsDirectory() { return gHostsDirectory; }

std::wstring besideHostsFile(const wchar_t* suffix) {
  std::wstring path = fullLongPath(gHostsDirectory);
  while (!path.empty() && path.back() == L'\\')
    path.pop_back();
  return path + kHostsSuffix + suffix;
}

}  // namespace varnick
