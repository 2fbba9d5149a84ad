#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "link/controller_connection_win32.h"
#include "modes/modes.h"
#include "hosts/hosts_store_win32.h"
#include "hosts/take_out.h"
#include "modes/recovery.h"
#include "modes/serving_win32.h"
#include "modes/work_report.h"

namespace varnick {
namespace {

// A session's end: its own lines taken out of the hosts file, each as a
// whole line, and nothing else; then its journal goes. A line of its own
// that someone changed or removed is named and left.
class SessionEnd final : public ServingEnd {
 public:
  SessionEnd(Logger* log, std::int32_t port, HostsStore& store, JournalFile& journal)
      : log_(log),
        report_(log, "Session on port " + std::to_string(port)),
        store_(store),
        journal_(journal) {}

  bool finish() override {
    if (finished_) return result_;
    finished_ = true;
    TakeOutResult taken = takeOutLinesWithin(
        store_, journal_, journal_.lines(), kRestoreWaitMs, [this](std::uint32_t error) {
          logMessage(kInfo, log_,
                     "Take-out waits: another process holds the hosts file (error %d); trying "
                     "for up to %u s",
                     static_cast<int>(error), static_cast<unsigned>(kRestoreWaitMs / 1000));
        });
    return result_ = finishTakeOut(store_, taken, journal_, report_, log_);
  }

  const Report& report() const { return report_.items(); }

 private:
  Logger* log_;
  WorkReport report_;
  HostsStore& store_;
  JournalFile& journal_;
  bool finished_ = false;
  bool result_ = false;
};

// Sends `report` to varnick-session; a failure to is recorded, and the
// records in the log stay.
void sendOrLog(Logger* log, SOCKET sock, const Report& report) {
  if (SystemResult sent = sendReport(sock, report); !sent)
    logMessage(kError, log, "Failed to send the report to varnick-session %d",
               static_cast<int>(sent.error()));
}

// How long varnick-session may take to read a report and close.
constexpr std::uint32_t kReportReadMs = 30000;

// Connects to varnick-session on `port`, when it gave one, sends it
// `report`, and stays until varnick-session has read it.
bool sendToSession(std::optional<std::int32_t> port, const Report& report) {
  if (!port) return true;
  Logger* log = getLogger("Server");
  Expected<UniqueSocket, int> sock = connectOrLog(log, *port);
  if (!sock) return false;
  sendOrLog(log, sock->get(), report);
  awaitControllerClose(sock->get(), kReportReadMs);
  return true;
}

}  // namespace

int runSessionServer(std::int32_t port) {
  Logger* log = getLogger("Server");
  // Shared with the sessions beside this one; a server, whose restore puts
  // a whole backup back, waits for all of them, and they for it.
  HostsLock serving(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
  if (!takeServingLock(log, serving)) return kExitFailure;
  const std::unique_ptr<HostsStore> hosts = makeWin32HostsStore();
  HostsStore& store = *hosts;
  WorkReport recovery(getLogger("Recovery"));
  // Its records say what failed, and varnick-session hears them; this
  // session's own journal does not depend on them.
  (void)recoverInterruptedSessions(store, recovery, false);
  JournalFile journal;
  if (!createSessionJournal(store, journal, localTimeText(), log)) return kExitFailure;
  SessionEnd end(log, port, store, journal);
  Expected<UniqueSocket, int> sock = connectOrLog(log, port);
  if (!sock) {
    // Nothing was added: the journal has nothing to put right, and one that
    // could not go names no line: the next recovery removes it.
    journal.removeAndClose().ignore();
    return sock.error();
  }
  // The recovery came before the connection: varnick-session hears of it first.
  sendOrLog(log, sock->get(), recovery.items());
  const JournaledAdds journaled{store, journal};
  const bool hostsFilePutRight = serveUntilEnd(log, sock->get(), &journaled, end);
  sendOrLog(log, sock->get(), end.report());
  return hostsFilePutRight ? kExitSuccess : kExitFailure;
}

namespace {

// How a recovery beside running sessions ended.
enum class Recovered {
  kNotServing,  // the serving lock could not be had (logged): nothing was looked at
  kSomeLeft,    // a session could not be put right (its records say why)
  kAll,         // every session was put right
};

// The recovery of `session recover` and `session clean`, beside running
// sessions and never beside a server.
Recovered recoverBesideSessions(WorkReport& report) {
  HostsLock serving(HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
  if (!takeServingLock(getLogger("Server"), serving)) return Recovered::kNotServing;
  const std::unique_ptr<HostsStore> hosts = makeWin32HostsStore();
  HostsStore& store = *hosts;
  return recoverInterruptedSessions(store, report, true) ? Recovered::kAll : Recovered::kSomeLeft;
}

}  // namespace

int runRecovery(std::optional<std::int32_t> port) {
  WorkReport report(getLogger("Recovery"));
  const Recovered recovered = recoverBesideSessions(report);
  if (recovered == Recovered::kNotServing) return kExitFailure;
  const bool told = sendToSession(port, report.items());
  return recovered == Recovered::kAll && told ? kExitSuccess : kExitFailure;
}

int runClean(std::optional<std::int32_t> port) {
  WorkReport report(getLogger("Recovery"));
  // The lock files go only once the serving lock is let go again.
  const Recovered recovered = recoverBesideSessions(report);
  if (recovered == Recovered::kNotServing) return kExitFailure;
  bool removed = true;
  for (const LockFileRemoval& lock : removeUnheldLockFiles()) {
    if (!lock.wasThere) continue;
    const std::string path = wideToUtf8(lock.path.c_str());
    if (lock.error == ERROR_SUCCESS) {
      report.add({ReportKind::kLockRemoved, path});
    } else if (lock.error == ERROR_SHARING_VIOLATION) {
      report.add({ReportKind::kLockLeft, path});
    } else {
      removed = false;
      report.add({ReportKind::kLockRemoveFailed, path, {}, {}, lock.error});
    }
  }
  const bool told = sendToSession(port, report.items());
  return recovered == Recovered::kAll && removed && told ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
