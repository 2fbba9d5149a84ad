#include "hosts/hosts_location.h"

#include <windows.h>

#include <cwchar>

#include "base/console.h"
#include "base/exit_codes.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"

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

std::optional<int> expandHostsDirectory() {
  DWORD needed = ExpandEnvironmentStringsW(gHostsFilePath, gHostsDirectory, kPathCapacity);
  if (needed == 0) {
    printText("Could not expand %s", wideToUtf8(gHostsFilePath).c_str());
    return kExitFailure;
  }
  if (needed > kPathCapacity) {
    printText("Could not expand %s: the result does not fit in %u characters\r\n",
              wideToUtf8(gHostsFilePath).c_str(), static_cast<unsigned>(kPathCapacity));
    return kExitFailure;
  }
  return std::nullopt;
}

std::optional<int> buildHostsFilePath() {
  std::size_t directoryLength = std::wcslen(gHostsDirectory);
  std::size_t suffixLength = std::wcslen(kHostsSuffix);
  if (directoryLength + suffixLength + 1 > kPathCapacity) {
    printText("The hosts file path %s\\hosts does not fit in %u characters\r\n",
              wideToUtf8(gHostsDirectory).c_str(), static_cast<unsigned>(kPathCapacity));
    return kExitFailure;
  }
  // Joined by hand rather than with wsprintfW: that is USER32's, and loading
  // USER32 costs more than the rest of a run under Wine.
  std::wmemcpy(gHostsFilePath, gHostsDirectory, directoryLength);
  std::wmemcpy(gHostsFilePath + directoryLength, kHostsSuffix, suffixLength + 1);
  return std::nullopt;
}

}  // namespace

std::optional<int> locateHostsFile() {
  HKEY rawKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_READ, &rawKey) != ERROR_SUCCESS) {
    printText("Could not open System\\CurrentControlSet\\Services\\Tcpip\\Parameters\r\n");
    return kExitFailure;
  }
  {
    UniqueKey key(rawKey);
    if (!readDataBasePath(key.get())) {
      key.reset();
      printText("Could not open DataBasePath\r\n");
      return kExitFailure;
    }
  }
  if (auto stop = expandHostsDirectory()) return stop;
  return buildHostsFilePath();
}

const wchar_t* hostsFilePath() { return gHostsFilePath; }
const wchar_t* hostsDirectory() { return gHostsDirectory; }

}  // namespace varnick
