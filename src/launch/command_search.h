// Finding the file that a command names, as the Windows shell (cmd.exe,
// `where`) finds it: npm, npx and vite are .cmd files, which CreateProcessW
// alone never finds.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace varnick::control {

// Where to look. The file system is reached only through isFile, so that the
// search reads the same on every platform.
struct CommandSearch {
  std::wstring currentFolder;      // searched first for a bare name, unless skipCurrentFolder
  bool skipCurrentFolder = false;  // NoDefaultCurrentDirectoryInExePath is set
  // %PATH%: folders separated by ';'. Blank entries are skipped; double quotes
  // are dropped, and a ';' between them belongs to the folder.
  std::wstring path;
  std::wstring pathExt;  // %PATHEXT%; when it lists nothing: .COM;.EXE;.BAT;.CMD
  std::function<bool(const std::wstring&)> isFile;  // true for an existing plain file
};

// The path of the file that `command` names, or nothing when none is found.
// A command with a folder in it (a '\', '/' or ':') is looked for there only,
// relative to currentFolder unless it is absolute; a bare name in
// currentFolder, then in each PATH folder. In each folder, a name whose
// extension PATHEXT lists is tried as it is; any other gets each PATHEXT
// extension in turn, and is never tried bare: the shell runs only those.
std::optional<std::wstring> findCommand(const std::wstring& command, const CommandSearch& search);

// Whether `path` names a batch file (.bat or .cmd, any case), which runs only
// through cmd.exe. Trailing dots and blanks do not hide the extension:
// Windows drops them when it opens the file.
bool isBatchFile(const std::wstring& path);

}  // namespace varnick::control
