#include "control/session_clean_win32.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/file_identity_win32.h"
#include "base/wide_text.h"
#include "control/session_win32.h"
#include "log/rotation.h"

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

std::vector<std::wstring> namesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

}  // namespace

bool cleanVarnickFolder(const std::wstring& given) {
  const std::wstring folder = fullLongPath(given.c_str());
  const std::string shown = wideToUtf8(folder.c_str());
  bool allGone = true;
  int removed = 0;
  for (const std::wstring& name : namesIn(folder)) {
    const std::wstring path = folder + L"\\" + name;
    const std::string shownPath = wideToUtf8(path.c_str());
    if (!isVarnickLog(name)) {
      notice("left " + shownPath + ": Varnick did not make it");
      continue;
    }
    DWORD error = removePlainFile(path);
    if (error == ERROR_SUCCESS) {
      ++removed;
    } else if (error == kErrorIsLink) {
      notice("left " + shownPath + ": a link, not a file Varnick wrote");
    } else if (error == ERROR_SHARING_VIOLATION) {
      notice("left " + shownPath + ": a running Varnick writes it");
    } else {
      allGone = false;
      notice("left " + shownPath + " (error " + std::to_string(error) + ")");
    }
  }
  if (RemoveDirectoryW(folder.c_str())) {
    notice("removed " + shown + (removed ? " with Varnick's logs" : ""));
  } else if (DWORD error = GetLastError(); error == ERROR_DIR_NOT_EMPTY) {
    notice("removed " + std::to_string(removed) + " of Varnick's logs; left " + shown +
           ": other files are in it");
  } else if (error != ERROR_FILE_NOT_FOUND) {
    allGone = false;
    notice("left " + shown + " (error " + std::to_string(error) + ")");
  }
  return allGone;
}

}  // namespace varnick::control
