#include "hosts/add_entry.h"

#include <windows.h>

#include <cstdio>

#include "app/console.h"
#include "app/host_paths.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "hosts/entry_bytes.h"
#include "hosts/file_write_win32.h"
#include "log/logging.h"

namespace varnick {

int addEntry(const wchar_t* entry) {
  Logger* log = getLogger("AddEntry");
  std::optional<EntryBytes> bytes = toEntryBytes(entry);
  if (!bytes) {
    printText("Unable to convert %s to multibyte\r\n", wideToUtf8(entry).c_str());
    return 1;
  }
  // Append-only access: every write lands at the end, whatever else happens
  // to the file. Readers may share it, writers may not.
  UniqueFile file(CreateFileW(hostsFilePath(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(GetLastError()));
    return 1;
  }
  if (DWORD error = writeAll(file.get(), "\r\n", 2); error != ERROR_SUCCESS) {
    logMessage(kInfo, log, "Failed to write comment to hosts file %d", static_cast<int>(error));
    return 1;
  }
  if (DWORD error = writeAll(file.get(), bytes->data.get(), static_cast<DWORD>(bytes->length));
      error != ERROR_SUCCESS) {
    logMessage(kInfo, log, "Failed to write %s to hosts file %d", wideToUtf8(entry).c_str(),
               static_cast<int>(error));
    return 1;
  }
  logMessage(kInfo, log, "Written to hosts file '%s'", wideToUtf8(entry).c_str());
  return 0;
}

}  // namespace varnick
