#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_location.h"
#include "modes/modes.h"
#include "modes/serving_win32.h"

namespace varnick {
namespace {

std::string localTimeText() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  return text;
}

const char* recoveryFailure(RecoveryStep step) {
  switch (step) {
    case RecoveryStep::kJournalUnreadable:
      return "its journal could not be read";
    case RecoveryStep::kLockFailed:
      return "the write lock of the hosts file could not be taken";
    case RecoveryStep::kReadFailed:
      return "the hosts file could not be read";
    case RecoveryStep::kReplaceFailed:
      return "the hosts file could not be replaced";
    case RecoveryStep::kKeptChanging:
      return "another program kept writing to the hosts file, rounds";
    case RecoveryStep::kFilesKept:
    case RecoveryStep::kDone:
      break;
  }
  return "its backup or journal could not be removed";
}

// Puts right the sessions that ended without their restore: takes out the
// lines their journals name, and removes their backups and journals. The
// caller holds the serving lock, so no session is running. False when any
// could not be put right.
bool recoverInterruptedSessions(bool sayWhenNone) {
  Logger* log = getLogger("Recovery");
  std::vector<SessionFiles> found = findSessionJournals();
  if (found.empty() && sayWhenNone) logMessage(kInfo, log, "No interrupted session to recover");
  bool all = true;
  for (const SessionFiles& files : found) {
    RecoveryResult result = recoverSession(files);
    const char* started = result.journal.started.c_str();
    if (result.step == RecoveryStep::kJournalUnreadable) started = "at an unknown time";
    for (const std::string& line : result.removal.removed)
      logMessage(kInfo, log, "Removed '%s' left by the session started %s", line.c_str(), started);
    for (const std::string& line : result.removal.missing) {
      logMessage(kInfo, log, "Skipped '%s' of the session started %s: no longer in the hosts file",
                 line.c_str(), started);
    }
    if (result.step == RecoveryStep::kDone) {
      logMessage(kInfo, log, "Recovered the interrupted session started %s", started);
      continue;
    }
    all = false;
    logMessage(kError, log, "Failed to recover the session started %s: %s %d; kept %s", started,
               recoveryFailure(result.step), static_cast<int>(result.error),
               wideToUtf8(files.journal.c_str()).c_str());
  }
  return all;
}

}  // namespace

int runSessionServer(std::int32_t port) {
  Logger* log = getLogger("Server");
  HostsLock serving(HostsLock::Kind::kServing);
  if (!takeServingLock(log, serving)) return kExitFailure;
  // Holding the serving lock, this is the only session: any journal beside
  // the hosts file is an interrupted one's.
  (void)recoverInterruptedSessions(false);
  std::optional<SessionFiles> files = nameSessionFiles();
  if (!files) {
    logMessage(kError, log, "Failed to name the session's backup %d",
               static_cast<int>(GetLastError()));
    return kExitFailure;
  }
  if (std::uint32_t error = backUpHostsFile(files->backup.c_str())) {
    logCopyFailure(log, hostsDirectory(), files->backup.c_str(), error);
    (void)removeSessionFile(files->backup);
    return kExitFailure;
  }
  JournalFile journal;
  if (DWORD error = journal.create(files->journal, localTimeText())) {
    logMessage(kError, log, "Failed to create the session journal %s %d",
               wideToUtf8(files->journal.c_str()).c_str(), static_cast<int>(error));
    journal.close();
    removeSessionFiles(log, *files);
    return kExitFailure;
  }
  UniqueSocket sock;
  if (int stop = connectOrLog(log, port, sock)) {
    // Nothing was added: the backup and journal have nothing to put right.
    journal.close();
    removeSessionFiles(log, *files);
    return stop;
  }
  return serveAndRestore(log, sock.get(), files->backup.c_str(), &journal, &*files) ? kExitSuccess
                                                                                    : kExitFailure;
}

int runRecovery() {
  HostsLock serving(HostsLock::Kind::kServing);
  if (!takeServingLock(getLogger("Server"), serving)) return kExitFailure;
  return recoverInterruptedSessions(true) ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
