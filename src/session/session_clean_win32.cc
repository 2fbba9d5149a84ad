#include "session/session_clean_win32.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/error_text.h"
#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/wide_text.h"
#include "log/log_folder_win32.h"
#include "log/rotation.h"
#include "session/session_output.h"

namespace varnick::control {
namespace {

// varnick.log and the copies that rotation makes of it.
bool isVarnickLog(const std::wstring& name) {
  const std::string text = wideToUtf8(name.c_str());
  const std::string base = wideToUtf8(kVarnickLogName);
  if (text == base) return true;
  for (int number = 1; number <= kLogCopies; ++number) {
    if (text == logCopyName(base, number)) return true;
  }
  return false;
}

}  // namespace

bool cleanVarnickFolder(const std::wstring& given) {
  const std::wstring folder = fullLongPath(given.c_str());
  const std::string shown = wideToUtf8(folder.c_str());
  bool allGone = true;
  int removed = 0;
  Expected<std::vector<FoundFile>, std::uint32_t> files = listFiles(folder, L"*");
  if (!files) {
    notice(withCode("left " + shown + ": its files could not be listed", files.error()));
    return false;
  }
  for (const FoundFile& found : *files) {
    const std::wstring& path = found.path;
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    const std::string shownPath = wideToUtf8(path.c_str());
    if (!isVarnickLog(name)) {
      notice("left " + shownPath + ": Varnick did not make it");
      continue;
    }
    const SystemResult gone = removePlainFile(path);
    const std::uint32_t error = errorCodeOf(gone);
    if (gone) {
      ++removed;
    } else if (error == kErrorIsLink) {
      notice("left " + shownPath + ": a link, not a file Varnick wrote");
    } else if (error == ERROR_SHARING_VIOLATION) {
      notice("left " + shownPath + ": a running Varnick writes it");
    } else {
      allGone = false;
      notice(withCode("left " + shownPath, error));
    }
  }
  if (RemoveDirectoryW(folder.c_str())) {
    notice("removed " + shown + (removed ? " with Varnick's logs" : ""));
  } else if (DWORD error = GetLastError(); error == ERROR_DIR_NOT_EMPTY) {
    notice("removed " + std::to_string(removed) + " of Varnick's logs; left " + shown +
           ": other files are in it");
  } else if (error != ERROR_FILE_NOT_FOUND) {
    allGone = false;
    notice(withCode("left " + shown, error));
  }
  return allGone;
}

}  // namespace varnick::control
