#include "log/log_file.h"

#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/file_identity_win32.h"
#include "base/unique_resource_win32.h"

namespace varnick {
namespace {

// What fopen's "a+" asks for: read and write, other readers and writers
// shared, deletion not.
constexpr DWORD kLogAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A rename needs DELETE; sharing everything lets others go on using the file
// meanwhile, as MoveFileEx does.
constexpr DWORD kMoveAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The log's names are narrow, as fopen took them: in the ANSI code page.
std::wstring widen(const std::string& name) {
  const int size = static_cast<int>(name.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name.data(), size, wide.data(), length);
  return wide;
}

// Whether `file`, opened by `name`, is a regular file on disk with one link
// that the system reached by that very name.
bool isPlainFileNamed(HANDLE file, const std::wstring& name) {
  return checkIsFileMeant(file, fullLongPath(name.c_str())).ok();
}

UniqueFile openForLog(const std::wstring& name, DWORD disposition) {
  return UniqueFile(CreateFileW(name.c_str(), kLogAccess, kLogShare, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Opens the log file, or creates it where nothing stands. Never OPEN_ALWAYS:
// Wine follows a dangling link at the name and creates the file it points
// to, while CREATE_NEW refuses any link. Sets `dangling` when something
// stands at the name that can neither be opened nor replaced by a new file.
UniqueFile openOrCreate(const std::wstring& name, bool& dangling) {
  UniqueFile file = openForLog(name, OPEN_EXISTING);
  if (file || GetLastError() != ERROR_FILE_NOT_FOUND) return file;
  file = openForLog(name, CREATE_NEW);
  if (file || GetLastError() != ERROR_FILE_EXISTS) return file;
  // Either another process created the file a moment ago, or a link stands
  // there that leads nowhere.
  file = openForLog(name, OPEN_EXISTING);
  dangling = !file && GetLastError() == ERROR_FILE_NOT_FOUND;
  return file;
}

}  // namespace

OpenedLogFile openLogFile(const std::string& name) {
  const std::wstring wideName = widen(name);
  bool dangling = false;
  UniqueFile file = openOrCreate(wideName, dangling);
  if (!file) return unexpected(dangling ? LogFileFailure::kNotPlainFile : LogFileFailure::kFailed);
  if (!isPlainFileNamed(file.get(), wideName)) return unexpected(LogFileFailure::kNotPlainFile);

  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND | _O_TEXT);
  if (fd == -1) return unexpected(LogFileFailure::kFailed);
  file.release();  // the descriptor owns the handle now
  std::FILE* stream = _fdopen(fd, "a+");
  if (stream == nullptr) {
    _close(fd);
    return unexpected(LogFileFailure::kFailed);
  }
  return UniqueStream(stream);
}

bool moveLogFile(const std::string& from, const std::string& to) {
  const std::wstring source = widen(from);
  UniqueFile file(CreateFileW(source.c_str(), kMoveAccess, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file && isPlainFileNamed(file.get(), source) && renameByHandle(file.get(), widen(to)).ok();
}

// Another process may hold the log open without sharing deletion: shifting
// the copies then would discard the oldest on every record while copy 1 is
// never refilled, and a few records would wipe out all ten copies.
bool logFileIsHeld(const std::string& name) {
  const std::wstring wideName = widen(name);
  UniqueFile probe(CreateFileW(wideName.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return !probe && GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace varnick
