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
#include "hosts/session_files_posix.h"
#include "hosts/visible_text.h"
#include "link/frame_channel_posix.h"
#include "link/wire_format.h"
#include "log/rotation.h"
#include "modes/caller_checks.h"
#include "modes/out_of_memory_record.h"
#include "modes/privileged_half_posix.h"
#include "modes/work_report.h"

namespace varnick {
namespace {

constexpr std::int32_t kMaxLogSize = 20480000;

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
  return "a file of it could not be removed";
}

std::string failureReason(const TakeOutResult& result) {
  std::string reason = takeOutFailure(result.step);
  if (!result.file.empty()) reason += " (" + result.file + ")";
  return reason;
}

void logChange(Logger* log, HostsChange change) {
  if (change == HostsChange::kRewrittenInPlace) {
    logMessage(kInfo, log,
               "The hosts file is a mount point of its own: rewritten in place, not replaced");
  }
}

// Reports a take-out line by line, then removes its journal, or keeps it
// for a recovery when the take-out failed: whether the hosts file is right.
bool finishTakeOut(Logger* log, const TakeOutResult& taken, JournalFile& journal,
                   WorkReport& report) {
  for (const std::string& line : taken.removal.removed)
    report.add({ReportKind::kTookOut, line});
  for (const std::string& line : taken.removal.missing)
    report.add({ReportKind::kLeft, line});
  logChange(log, taken.change);
  const std::string path = journal.path();
  if (!taken.done()) {
    journal.close();
    report.add({ReportKind::kTakeOutFailed, path, {}, failureReason(taken), taken.error});
    return false;
  }
  if (Errno error = journal.removeAndClose())
    report.add({ReportKind::kJournalKept, path, {}, {}, error});
  return true;
}

// Puts right the sessions that ended without taking their lines out; the
// journals of running halves are left to them. False when any could not be
// put right.
bool recoverInterruptedSessions(const HostsPlaces& places, WorkReport& report) {
  Expected<std::vector<std::string>, Errno> found = findSessionJournals(places);
  if (!found) {
    report.add({ReportKind::kSearchFailed, {}, {}, {}, found.error()});
    return false;
  }
  bool all = true;
  for (const std::string& journal : *found) {
    RecoveryResult result = recoverSession(places, journal);
    if (result.step == TakeOutStep::kInUse) continue;
    for (const std::string& line : result.removal.removed)
      report.add({ReportKind::kRemoved, line, result.started});
    for (const std::string& line : result.removal.missing)
      report.add({ReportKind::kSkipped, line, result.started});
    if (result.done()) {
      report.add({ReportKind::kRecovered, {}, result.started});
      continue;
    }
    all = false;
    report.add({ReportKind::kRecoveryFailed, journal, result.started, failureReason(result),
                result.error});
  }
  return all;
}

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
  const int error = sendReportFrame(fd, report);
  if (error == EPIPE || error == ECONNRESET) {
    logMessage(kInfo, log, "varnick-session is gone: the report was not sent");
  } else if (error != 0) {
    logMessage(kError, log, "Failed to send the report to varnick-session %d", error);
  }
}

// The records of one append, in the words of `varnick session`'s.
bool logAppend(Logger* log, const JournaledAppend& appended, const std::string& entry) {
  const std::string shown = visibleText(entry);
  if (appended.unrecorded != 0)
    logMessage(kError, log, "Failed to write the session journal %u", appended.unrecorded);
  if (appended.appended) {
    logMessage(kInfo, log, "Written to hosts file '%s'", shown.c_str());
    if (appended.unflushed != 0)
      logMessage(kWarn, log, "Failed to flush the hosts file %u", appended.unflushed);
    return true;
  }
  const int error = static_cast<int>(appended.appended.error().code);
  switch (appended.appended.error().step) {
    case AppendStep::kLockFailed:
      logMessage(kError, log, "Failed to take the write lock of the hosts file %d", error);
      return false;
    case AppendStep::kOpenFailed:
      logMessage(kInfo, log, "Failed to open hosts file %d", error);
      return false;
    case AppendStep::kReadFailed:
      logMessage(kInfo, log, "Failed to read hosts file %d", error);
      return false;
    case AppendStep::kJournalFailed:
      logMessage(kError, log, "Failed to write the session journal %d", error);
      return false;
    case AppendStep::kWriteFailed:
      break;
  }
  logMessage(kInfo, log, "Failed to write %s to hosts file %d", shown.c_str(), error);
  return false;
}

// The end of the session: its lines taken out, reported and recorded once.
class HalfEnd {
 public:
  HalfEnd(Logger* log, const HostsPlaces& places, JournalFile& journal)
      : log_(log), places_(places), journal_(journal), report_(log, "Session") {}

  bool finish() {
    if (!finished_) {
      finished_ = true;
      TakeOutResult taken = takeOutLines(places_, journal_, journal_.lines());
      right_ = finishTakeOut(log_, taken, journal_, report_);
    }
    return right_;
  }
  const Report& report() const { return report_.items(); }

 private:
  Logger* log_;
  const HostsPlaces& places_;
  JournalFile& journal_;
  WorkReport report_;
  bool finished_ = false;
  bool right_ = false;
};

// Answers one request: the reply byte, or nothing when serving ends.
std::optional<char> answer(Logger* log, const HostsPlaces& places, JournalFile& journal,
                           const Request& request) {
  switch (request.kind) {
    case RequestKind::kAdd:
      if (!entryAllowed(log, request.entry)) return kReplyFailure;
      return logAppend(log, appendJournaled(places, journal, request.entry), request.entry)
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
void serve(Logger* log, int fd, const HostsPlaces& places, JournalFile& journal, HalfEnd& end) {
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
    std::optional<char> reply = answer(log, places, journal, received.request);
    const char byte = reply.value_or(kReplySuccess);
    if (int error = sendAllBytes(fd, std::string_view(&byte, 1)))
      logMessage(kError, log, "Failed to send the reply %d", error);
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
  if (Errno error = serving.take(kServingLockWaitMs)) {
    logMessage(kError, log, "Failed to take the serving lock %u", error);
    return kExitFailure;
  }
  WorkReport recovery(getLogger("Recovery"));
  (void)recoverInterruptedSessions(places.hosts, recovery);
  std::optional<std::string> path = nameSessionJournal(places.hosts);
  if (!path) {
    logMessage(kError, log,
               "Failed to name the session's journal: the system gave no random bytes");
    return kExitFailure;
  }
  JournalFile journal;
  if (Errno error = journal.create(places.hosts, *path, localTimeText())) {
    logMessage(kError, log, "Failed to create the session journal %s %u", path->c_str(), error);
    // Nothing was added: the journal has nothing to put right.
    (void)journal.removeAndClose();
    return kExitFailure;
  }
  HalfEnd end(log, places.hosts, journal);
  // The recovery came first: varnick-session hears of it first.
  sendOrLog(log, fd, recovery.items());
  serve(log, fd, places.hosts, journal, end);
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
    if (Errno error = serving.take(kServingLockWaitMs)) {
      logMessage(kError, log, "Failed to take the serving lock %u", error);
      return kExitFailure;
    }
    right = recoverInterruptedSessions(places.hosts, report);
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
