#include <string_view>

#include "base/console.h"
#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/entry_bytes.h"
#include "hosts/hosts_file.h"
#include "log/logging.h"
#include "modes/append_record.h"
#include "modes/modes.h"

namespace varnick {

int runAdd(const wchar_t* entry) {
  Logger* log = getLogger("AddEntry");
  std::optional<EntryBytes> bytes = toEntryBytes(entry);
  if (!bytes) {
    // Printed, not logged: the add mode's callers read this failure on
    // standard output, where its usage text goes too.
    printText("Unable to convert %s to multibyte\r\n", wideToUtf8(entry).c_str());
    return kExitFailure;
  }
  return logAppend(log, appendLine(bytes->view()), wideToUtf8(entry)) ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
