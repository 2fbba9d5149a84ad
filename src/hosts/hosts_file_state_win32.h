// What the hosts file looked like when it was read, so that a replacement
// made from that content can tell whether another program wrote to the file
// since: an append changes its size and its time of last write.
#pragma once

#include <windows.h>

#include <optional>

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

}  // namespace varnick
