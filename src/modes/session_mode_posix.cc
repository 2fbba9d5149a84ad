// The Linux half's mode: the records, the report items and the exit codes
// of a session's privileged half, over the hosts core of session_files_posix.
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "base/exit_codes.h"
#include "hosts/hosts_lock_posix.h"
#include "hosts/hosts_store_posix.h"
#include "hosts/journal_file.h"
#include "hosts/session_append.h"
#include "hosts/take_out.h"
#include "link/frame_channel_posix.h"
#include "link/wire_format.h"
#include "log/rotation.h"
#include "modes/caller_checks.h"
#include "modes/out_of_memory_record.h"
#include "modes/append_record.h"
#include "modes/privileged_half_posix.h"
#include "modes/recovery.h"
#include "modes/work_report.h"

namespace varnick {
namespace {

constexpr std::int32_t kMaxLogSize = 20480000;

// The local time as a journal records a session's start: "2026-12-07 13:25:03".
std::string localTimeText() {
  const time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

int socketOption(int fd, int option) {
  int value = -1;
  socklen_t size = sizeof value;
  return ::getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0 ? value : -1;
}

// The uid that sudo says started it; nothing when not started through sudo.
std::optional<uid_t> sudoUid() {
  const char* text = std::getenv("SUDO_UID");
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long uid = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || static_cast<uid_t>(uid) != uid) return std::nullopt;
  return static_cast<uid_t>(uid);
}

// Whether `fd` is a connected AF_UNIX stream socket whose peer is root or
// the user who ran sudo; the reason in the log when not. The half trusts
// SUDO_UID because it runs as root: no other user can start it so with an
// environment of their own.
bool peerAllowed(Logger* log, int fd) {
  if (socketOption(fd, SO_DOMAIN) != AF_UNIX || socketOption(fd, SO_TYPE) != SOCK_STREAM) {
    logMessage(kError, log, "Refused: descriptor %d is no AF_UNIX stream socket", fd);
    return false;
  }
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    const int error = errno;
    logMessage(kError, log, "Refused: the socket's peer could not be told %d", error);
    return false;
  }
  const std::optional<uid_t> invoker = sudoUid();
  if (peer.uid == 0 || (invoker && peer.uid == *invoker)) return true;
  logMessage(kError, log, "Refused the peer of uid %u (process %d): it is not the invoking user",
             static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
  return false;
}

// A Ctrl+C on the terminal reaches the whole foreground process group; the
// session decides the end, and the take-out must run to its end. A peer
// gone makes a send fail, not the process end.
void ignoreEndingSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int signal : {SIGINT, SIGHUP, SIGTERM, SIGPIPE})
    ::sigaction(signal, &ignore, nullptr);
}

void sendOrLog(Logger* log, int fd, const Report& report) {
  const SystemResult sent = sendReportFrame(fd, report);
  if (sent) return;
  const int error = static_cast<int>(sent.error());
  if (error == EPIPE || error == ECONNRESET) {
    logMessage(kInfo, log, "varnick-session is gone: the report was not sent");
  } else {
    logMessage(kError, log, "Failed to send the report to varnick-session %d", error);
  }
}

// The end of the session: its lines taken out, reported and recorded once.
class HalfEnd {
 public:
  HalfEnd(Logger* log, HostsStore& store, JournalFile& journal)
      : log_(log), store_(store), journal_(journal), report_(log, "Session") {}

  bool finish() {
    if (!finished_) {
      finished_ = true;
      TakeOutResult taken = takeOutLines(store_, journal_, journal_.lines());
      right_ = finishTakeOut(store_, taken, journal_, report_, log_);
    }
    return right_;
  }
  const Report& report() const { return report_.items(); }

 private:
  Logger* log_;
  HostsStore& store_;
  JournalFile& journal_;
  WorkReport report_;
  bool finished_ = false;
  bool right_ = false;
};

// Answers one request: the reply byte, or nothing when serving ends.
std::optional<char> answer(Logger* log, HostsStore& store, JournalFile& journal,
                           const Request& request) {
  switch (request.kind) {
    case RequestKind::kAdd:
      if (!entryAllowed(log, request.entry)) return kReplyFailure;
      return logJournaledAppend(log, appendJournaled(store, journal, request.entry), request.entry)
                 ? kReplySuccess
                 : kReplyFailure;
    case RequestKind::kRemove:
      logMessage(kInfo, log, "Client requested remove operation (This is currently unsupported)");
      return kReplyFailure;
    case RequestKind::kShutdown:
      logMessage(kInfo, log, "Shutting down varnick");
      return std::nullopt;
    case RequestKind::kInvalid:
      logMessage(kInfo, log, "Invalid operation %d requested", request.opCode);
      return kReplyFailure;
    case RequestKind::kTooShort:
      break;
  }
  logMessage(kInfo, log, "Request is too short for operation %d", request.opCode);
  return kReplyFailure;
}

// Serves the session until a shutdown request or the end of the connection.
void serve(Logger* log, int fd, HostsStore& store, JournalFile& journal, HalfEnd& end) {
  const OutOfMemoryRecord outOfMemory;
  for (;;) {
    ReceivedRequest received = receiveRequest(fd);
    if (received.what == Received::kOutOfMemory) {
      // The session's entries must not outlive the process.
      outOfMemory.log(received.bodyLength);
      (void)end.finish();
      std::_Exit(kExitOutOfMemory);
    }
    if (received.what == Received::kTooLong) {
      logRequestTooLong(log, received.bodyLength);
      return;
    }
    if (received.what != Received::kRequest) {
      logMessage(kInfo, log, "The connection to varnick-session ended %d", received.error);
      return;
    }
    std::optional<char> reply = answer(log, store, journal, received.request);
    const char byte = reply.value_or(kReplySuccess);
    if (SystemResult sent = sendAllBytes(fd, std::string_view(&byte, 1)); !sent)
      logMessage(kError, log, "Failed to send the reply %d", static_cast<int>(sent.error()));
    if (!reply) return;
  }
}

// Removes the half's log and the copies that rotation names; a name that
// is missing is nothing to say. False when any could not go.
bool removeHalfLogs(const std::string& logFile, WorkReport& report) {
  std::vector<std::string> names{logFile};
  for (int number = 1; number <= kLogCopies; ++number)
    names.push_back(logCopyName(logFile, number));
  bool all = true;
  for (const std::string& name : names) {
    if (::unlink(name.c_str()) == 0) {
      report.add({ReportKind::kLogRemoved, name});
      continue;
    }
    const Errno error = static_cast<Errno>(errno);
    if (error == ENOENT) continue;
    all = false;
    report.add({ReportKind::kLogRemoveFailed, name, {}, {}, error});
  }
  return all;
}

// Takes the serving lock, shared with the halves beside this one; false,
// recorded, when it cannot be had.
bool takeServingLock(Logger* log, HostsLock& serving) {
  SystemResult taken = serving.take(kServingLockWaitMs);
  if (!taken) logMessage(kError, log, "Failed to take the serving lock %u", taken.error());
  return static_cast<bool>(taken);
}

// The start of every half: records to the log only, the ending signals
// ignored, and the peer checked. False when it may not be served.
bool startHalf(const HalfPlaces& places, int fd) {
  ignoreEndingSignals();
  configureLogging("info", false, places.logFile.c_str(), kMaxLogSize);
  return peerAllowed(getLogger("Server"), fd);
}

}  // namespace

int runPrivilegedHalf(int fd, const HalfPlaces& places) {
  if (!startHalf(places, fd)) return kExitNoConnection;
  Logger* log = getLogger("Server");
  // Shared with the halves beside this one.
  HostsLock serving(places.hosts.lockFolder, HostsLock::Kind::kServing,
                    HostsLock::Sharing::kShared);
  if (!takeServingLock(log, serving)) return kExitFailure;
  const std::unique_ptr<HostsStore> hosts = makePosixHostsStore(places.hosts);
  HostsStore& store = *hosts;
  WorkReport recovery(getLogger("Recovery"));
  (void)recoverInterruptedSessions(store, recovery, false);
  JournalFile journal;
  if (!createSessionJournal(store, journal, localTimeText(), log)) return kExitFailure;
  HalfEnd end(log, store, journal);
  // The recovery came first: varnick-session hears of it first.
  sendOrLog(log, fd, recovery.items());
  serve(log, fd, store, journal, end);
  logMessage(kInfo, log, "Shutting down");
  const bool right = end.finish();
  sendOrLog(log, fd, end.report());
  return right ? kExitSuccess : kExitFailure;
}

int runCleaningHalf(int fd, const HalfPlaces& places) {
  if (!startHalf(places, fd)) return kExitNoConnection;
  Logger* log = getLogger("Server");
  WorkReport report(getLogger("Recovery"));
  bool right = false;
  {
    // Shared with the halves beside this one, and let go before the lock
    // files go.
    HostsLock serving(places.hosts.lockFolder, HostsLock::Kind::kServing,
                      HostsLock::Sharing::kShared);
    if (!takeServingLock(log, serving)) return kExitFailure;
    const std::unique_ptr<HostsStore> hosts = makePosixHostsStore(places.hosts);
    HostsStore& store = *hosts;
    right = recoverInterruptedSessions(store, report, false);
  }
  logMessage(kInfo, log, "Removing the lock files no half holds, and the log when none serves");
  // The log goes only while no half serves: every half writes to it.
  const LockFolderClean clean = removeUnheldLockFiles(
      places.hosts.lockFolder, [&] { right = removeHalfLogs(places.logFile, report) && right; });
  for (const LockFileRemoval& lock : clean.files) {
    if (lock.error == 0) {
      report.add({ReportKind::kLockRemoved, lock.path});
    } else if (lock.error == EWOULDBLOCK) {
      report.add({ReportKind::kLockLeft, lock.path});
    } else {
      right = false;
      report.add({ReportKind::kLockRemoveFailed, lock.path, {}, {}, lock.error});
    }
  }
  if (!clean.noneServed && ::access(places.logFile.c_str(), F_OK) == 0)
    report.add({ReportKind::kLogLeft, places.logFile});
  sendOrLog(log, fd, report.items());
  return right ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
