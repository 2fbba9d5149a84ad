// What the hosts file looked like when it was read, so that a replacement
// made from that content can tell whether another program wrote to the file
// since: an append changes its size and its time of last write.
#pragma once

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "hosts/hosts_location.h"

namespace varnick {

struct FileState {
  DWORD sizeHigh = 0;
  DWORD sizeLow = 0;
  FILETIME written{};
  bool operator==(const FileState& other) const {
    return sizeHigh == other.sizeHigh && sizeLow == other.sizeLow &&
           CompareFileTime(&written, &other.written) == 0;
  }
};

inline std::optional<FileState> stateOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  return FileState{info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime};
}

inline std::optional<FileState> stateOfHostsFile() {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(hostsFilePath(), GetFileExInfoStandard, &info)) return std::nullopt;
  return FileState{info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime};
}

// Which file `file` is: its volume and index, as text. A rename keeps it, so
// the hosts file carries the identity of the new file that was swapped in
// until another file replaces it. Nothing when the system cannot say.
inline std::optional<std::string> identityOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                info.nFileIndexHigh, info.nFileIndexLow);
  return std::string(text);
}

inline std::optional<std::string> identityOfHostsFile() {
  HANDLE file = CreateFileW(hostsFilePath(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::string> identity = identityOf(file);
  CloseHandle(file);
  return identity;
}

}  // namespace varnick
