// Before varnick.exe is started elevated: who, besides administrators, could
// have changed it or its folder. Both stay open until the caller lets them
// go, shared so that nobody can replace, rename or delete them meanwhile,
// and it starts by the path that the system holds for the open file, never
// by the name it was given: what was checked is what starts.
#pragma once

#include <windows.h>

#include <string>

#include "base/expected.h"
#include "base/unique_resource_win32.h"

namespace varnick::control {

struct VarnickTrust {
  UniqueFile program;  // varnick.exe, shared for reading only
  UniqueFile folder;   // its folder, shared for anything but deletion
  std::wstring path;   // the name given, made full against the current folder
  // What to start: the path by which the system reached `program`, every
  // link on the way resolved, in a form that CreateProcessW and the shell
  // take as it is, seen to name `program` again.
  std::wstring start;
  // Who could change it, as the system names them ("MACHINE\user"); empty
  // when nobody but administrators could.
  std::string changer;
  std::wstring changeable;  // varnick.exe or its folder, whichever `changer` may change
};

// Why varnick.exe could not be checked: the file, its folder or their rules
// could not be read, or no form of the path names the file (kErrorIsLink,
// base/file_identity_win32.h).
struct TrustFailure {
  std::wstring path;  // the name given, made full against the current folder
  DWORD error = ERROR_SUCCESS;
};

using TrustResult = Expected<VarnickTrust, TrustFailure>;

// Opens and checks the varnick.exe at `varnickPath`; a relative path is
// taken from this process's current folder, as when it was given.
[[nodiscard]] TrustResult checkVarnickTrust(const std::wstring& varnickPath);

}  // namespace varnick::control
