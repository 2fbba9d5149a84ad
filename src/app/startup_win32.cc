#include "app/startup.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "app/console.h"
#include "app/host_paths.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"

namespace varnick {
namespace {

constexpr wchar_t kParametersKey[] = L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
constexpr wchar_t kHostsSuffix[] = L"\\hosts";

// Reads DataBasePath into the hosts file path buffer and makes sure it ends
// with a NUL inside the buffer: registry strings need not be terminated.
bool readDataBasePath(HKEY key) {
  wchar_t* buffer = hostsFilePath();
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
  DWORD needed = ExpandEnvironmentStringsW(hostsFilePath(), hostsDirectory(), kPathCapacity);
  if (needed == 0) {
    printText("Could not expand %s", wideToUtf8(hostsFilePath()).c_str());
    return kExitFailure;
  }
  if (needed > kPathCapacity) {
    printText("Could not expand %s: the result does not fit in %u characters\r\n",
              wideToUtf8(hostsFilePath()).c_str(), static_cast<unsigned>(kPathCapacity));
    return kExitFailure;
  }
  return std::nullopt;
}

std::optional<int> buildHostsFilePath() {
  std::size_t directoryLength = std::wcslen(hostsDirectory());
  std::size_t suffixLength = std::wcslen(kHostsSuffix);
  if (directoryLength + suffixLength + 1 > kPathCapacity) {
    printText("The hosts file path %s\\hosts does not fit in %u characters\r\n",
              wideToUtf8(hostsDirectory()).c_str(), static_cast<unsigned>(kPathCapacity));
    return kExitFailure;
  }
  // Joined by hand rather than with wsprintfW: that is USER32's, and loading
  // USER32 costs more than the rest of a run under Wine.
  std::wmemcpy(hostsFilePath(), hostsDirectory(), directoryLength);
  std::wmemcpy(hostsFilePath() + directoryLength, kHostsSuffix, suffixLength + 1);
  return std::nullopt;
}

}  // namespace

void printUsage() {
  printText("Incorrect parameters! Usage: Varnick server <port> <backup_path>\r\n");
  printText("                             Varnick [add|del] <entry>\r\n\r\n");
}

std::optional<int> startWinsock() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    printText("The Winsock dll not found!\n");
    // The requested mode never ran: report a failure, not success.
    return kExitFailure;
  }
  printText("The Winsock dll found!\n");
  printText("The status: %s.\n", data.szSystemStatus);
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    printText("The dll do not support the Winsock version %u.%u!\n",
              static_cast<unsigned>(LOBYTE(data.wVersion)),
              static_cast<unsigned>(HIBYTE(data.wVersion)));
    WSACleanup();
    return kExitFailure;
  }
  printText("The dll supports the Winsock version %u.%u!\n", 2u, 2u);
  printText("The highest version this dll can support: %u.%u\n",
            static_cast<unsigned>(LOBYTE(data.wHighVersion)),
            static_cast<unsigned>(HIBYTE(data.wHighVersion)));
  return std::nullopt;
}

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

}  // namespace varnick
