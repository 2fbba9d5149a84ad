// Making sure that a handle opened by name is the plain file that was meant.
// An elevated process that opens a name in a folder an unelevated program can
// write would otherwise write, rename or delete whatever a planted link leads
// to: a symbolic link, a junction on a folder of the path, or a hard link to
// a file elsewhere.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "base/expected.h"

namespace varnick {

// The code that the checks below report when the name leads elsewhere: the
// system's own ERROR_STOPPED_ON_SYMLINK, which not every SDK header defines.
constexpr DWORD kErrorIsLink = 681;

// The full path of `path` with its folders' long names: the form in which
// the system names an opened file.
std::wstring fullLongPath(const wchar_t* path);

// The path by which the system reached the open file, every link on the way
// resolved, in the form of fullLongPath: "\\?\C:\..." loses its prefix,
// "\\?\UNC\..." becomes "\\...". Empty when it cannot be read.
std::wstring reachedPath(HANDLE file);

// Done when `file` is a plain file (no reparse point) with one link, reached
// at `meantPath` (a full long path) without any link on the way; kErrorIsLink
// when it is not; another code when the checks themselves failed.
SystemResult checkIsFileMeant(HANDLE file, const std::wstring& meantPath);

// Removes the file that `file` is open on (opened with DELETE access). The
// name that a link planted later leads to is never looked up again.
SystemResult deleteByHandle(HANDLE file);

// Removes the plain file at `path` (a full long path) through a checked
// handle: done when it is gone or was never there; kErrorIsLink, with nothing
// removed, when a link stands at the name; another code when it cannot go.
// With `share` 0 it goes only while no other process has it open, and
// nobody can open it meanwhile (ERROR_SHARING_VIOLATION otherwise).
SystemResult removePlainFile(const std::wstring& path,
                             DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

// Renames the file that `file` is open on (opened with DELETE access) to
// `target`, replacing what is there, in one step.
SystemResult renameByHandle(HANDLE file, const std::wstring& target);

}  // namespace varnick
