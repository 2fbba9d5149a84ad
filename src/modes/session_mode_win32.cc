#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
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

// What stopped a take-out, as the records say it.
const char* takeOutFailure(TakeOutStep step) {
  switch (step) {
    case TakeOutStep::kJournalUnreadable:
      return "its journal could not be read";
    case TakeOutStep::kLockFailed:
      return "the write lock of the hosts file could not be taken";
    case TakeOutStep::kReadFailed:
      return "the hosts file could not be read";
    case TakeOutStep::kReplaceFailed:
      return "the hosts file could not be replaced";
    case TakeOutStep::kJournalFailed:
      return "its journal could not be written";
    case TakeOutStep::kKeptChanging:
      return "another program kept writing to the hosts file, rounds";
    case TakeOutStep::kFilesKept:
    case TakeOutStep::kInUse:
    case TakeOutStep::kDone:
      break;
  }
  return "its journal could not be removed";
}

// Puts right the sessions that ended without taking their lines out: takes
// out the lines their journals name, and removes the journals. Journals of
// sessions that run beside this one are left to them. False when any could
// not be put right.
bool recoverInterruptedSessions(bool sayWhenNone) {
  Logger* log = getLogger("Recovery");
  std::vector<SessionFiles> found;
  if (DWORD error = findSessionJournals(found)) {
    logMessage(kError, log, "Failed to look for interrupted sessions %d", static_cast<int>(error));
    return false;
  }
  bool all = true;
  bool any = false;
  for (const SessionFiles& files : found) {
    RecoveryResult result = recoverSession(files);
    if (result.step == TakeOutStep::kInUse) {
      // A running session's, most likely: its own Varnick takes its lines out.
      if (sayWhenNone) {
        logMessage(kInfo, log, "Left %s: another process holds it, as a running session does",
                   wideToUtf8(files.journal.c_str()).c_str());
      }
      continue;
    }
    any = true;
    const char* started = result.started.empty() ? "at an unknown time" : result.started.c_str();
    for (const std::string& line : result.removal.removed)
      logMessage(kInfo, log, "Removed '%s' left by the session started %s", line.c_str(), started);
    for (const std::string& line : result.removal.missing) {
      logMessage(kInfo, log, "Skipped '%s' of the session started %s: no longer in the hosts file",
                 line.c_str(), started);
    }
    if (result.step == TakeOutStep::kDone) {
      logMessage(kInfo, log, "Recovered the interrupted session started %s", started);
      continue;
    }
    all = false;
    logMessage(kError, log, "Failed to recover the session started %s: %s %d; kept %s", started,
               takeOutFailure(result.step), static_cast<int>(result.error),
               wideToUtf8(files.journal.c_str()).c_str());
  }
  if (!any && sayWhenNone) logMessage(kInfo, log, "No interrupted session to recover");
  return all;
}

// A session's end: its own lines taken out of the hosts file, each as a
// whole line, and nothing else; then its journal goes. A line of its own
// that someone changed or removed is named and left.
class SessionEnd final : public ServingEnd {
 public:
  SessionEnd(Logger* log, std::int32_t port, JournalFile& journal, const SessionFiles& files)
      : log_(log), port_(static_cast<int>(port)), journal_(journal), files_(files) {}

  bool finish() override {
    if (finished_) return result_;
    finished_ = true;
    TakeOutResult taken =
        takeOutLinesWithin(journal_, journal_.lines(), kRestoreWaitMs, [this](DWORD error) {
          logMessage(kInfo, log_,
                     "Take-out waits: another process holds the hosts file (error %d); trying "
                     "for up to %u s",
                     static_cast<int>(error), static_cast<unsigned>(kRestoreWaitMs / 1000));
        });
    for (const std::string& line : taken.removal.removed)
      logMessage(kInfo, log_, "Session on port %d took out '%s'", port_, line.c_str());
    for (const std::string& line : taken.removal.missing) {
      logMessage(kInfo, log_, "Session on port %d left '%s': no longer a line of the hosts file",
                 port_, line.c_str());
    }
    const std::string journal = wideToUtf8(files_.journal.c_str());
    if (taken.step != TakeOutStep::kDone) {
      // Kept: a recovery takes the lines out later.
      journal_.close();
      logMessage(kError, log_, "Failed to take out the session's lines: %s %d; kept %s",
                 takeOutFailure(taken.step), static_cast<int>(taken.error), journal.c_str());
      return result_ = false;
    }
    if (DWORD error = journal_.removeAndClose()) {
      logMessage(kError, log_, "Failed to remove %s %d", journal.c_str(), static_cast<int>(error));
    }
    return result_ = true;
  }

 private:
  Logger* log_;
  int port_;
  JournalFile& journal_;
  const SessionFiles& files_;
  bool finished_ = false;
  bool result_ = false;
};

}  // namespace

int runSessionServer(std::int32_t port) {
  Logger* log = getLogger("Server");
  // Shared with the sessions beside this one; a server, whose restore puts
  // a whole backup back, waits for all of them, and they for it.
  HostsLock serving(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
  if (!takeServingLock(log, serving)) return kExitFailure;
  (void)recoverInterruptedSessions(false);
  std::optional<SessionFiles> files = nameSessionFiles();
  if (!files) {
    logMessage(kError, log,
               "Failed to name the session's journal: the system gave no random bytes");
    return kExitFailure;
  }
  JournalFile journal;
  if (DWORD error = journal.create(files->journal, localTimeText())) {
    logMessage(kError, log, "Failed to create the session journal %s %d",
               wideToUtf8(files->journal.c_str()).c_str(), static_cast<int>(error));
    journal.close();
    (void)removeSessionFile(files->journal);
    return kExitFailure;
  }
  SessionEnd end(log, port, journal, *files);
  UniqueSocket sock;
  if (int stop = connectOrLog(log, port, sock)) {
    // Nothing was added: the journal has nothing to put right.
    journal.close();
    (void)removeSessionFile(files->journal);
    return stop;
  }
  return serveUntilEnd(log, sock.get(), &journal, end) ? kExitSuccess : kExitFailure;
}

int runRecovery() {
  HostsLock serving(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
  if (!takeServingLock(getLogger("Server"), serving)) return kExitFailure;
  return recoverInterruptedSessions(true) ? kExitSuccess : kExitFailure;
}

int runClean() {
  bool recovered = false;
  {
    HostsLock serving(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    if (!takeServingLock(getLogger("Server"), serving)) return kExitFailure;
    recovered = recoverInterruptedSessions(true);
  }
  // Told as the recovery is: the session tool says what these records say.
  Logger* log = getLogger("Recovery");
  bool removed = true;
  for (const LockFileRemoval& lock : removeUnheldLockFiles()) {
    const std::string path = wideToUtf8(lock.path.c_str());
    if (!lock.wasThere) continue;
    if (lock.error == ERROR_SUCCESS) {
      logMessage(kInfo, log, "Removed the lock file %s", path.c_str());
    } else if (lock.error == ERROR_SHARING_VIOLATION) {
      logMessage(kInfo, log, "Left the lock file %s: a running Varnick holds it", path.c_str());
    } else {
      removed = false;
      logMessage(kError, log, "Failed to remove the lock file %s %d", path.c_str(),
                 static_cast<int>(lock.error));
    }
  }
  return recovered && removed ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
