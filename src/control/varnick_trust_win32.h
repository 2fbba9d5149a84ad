// Before varnick.exe is started elevated: who, besides administrators, could
// have changed it or its folder. Both stay open until the caller lets them
// go, shared so that nobody can replace, rename or delete them meanwhile:
// what was checked is what starts.
#pragma once

#include <windows.h>

#include <string>

#include "base/unique_resource.h"

namespace varnick::control {

struct VarnickTrust {
  UniqueFile program;  // varnick.exe, shared for reading only
  UniqueFile folder;   // its folder, shared for anything but deletion
  // Who could change it, as the system names them ("MACHINE\user"); empty
  // when nobody but administrators could.
  std::string changer;
  std::wstring changeable;      // varnick.exe or its folder, whichever `changer` may change
  DWORD error = ERROR_SUCCESS;  // when the file, its folder or their rules could not be read
};

VarnickTrust checkVarnickTrust(const std::wstring& varnickPath);

}  // namespace varnick::control
