#include "link/server.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/session_files_win32.h"
#include "link/packet_buffer.h"
#include "link/request.h"
#include "link/wire_format.h"
#include "log/logging.h"

namespace varnick {
namespace {

// The record of a failed backup or restore. The hosts directory stands for
// the hosts file in it.
void logCopyFailure(Logger* log, const wchar_t* from, const wchar_t* to, std::uint32_t error) {
  logMessage(kInfo, log, "Failed to copy hosts file from %s to %s error code %d",
             wideToUtf8(from).c_str(), wideToUtf8(to).c_str(), static_cast<int>(error));
}

const wchar_t* armedBackupPath = nullptr;
const SessionFiles* armedSessionFiles = nullptr;

const char* waitReason(RestoreWait wait) {
  switch (wait) {
    case RestoreWait::kWriteLock:
      return "another Varnick is writing the hosts file";
    case RestoreWait::kBackupHeld:
      return "another process holds the backup";
    case RestoreWait::kHostsFileHeld:
      break;
  }
  return "another process holds the hosts file";
}

// Puts the backup back, waiting while another writer or a reader stands in
// the way; each reason to wait is logged once. A failure names the backup,
// which is kept.
bool restoreFromBackup(const wchar_t* backupPath) {
  Logger* log = getLogger("Server");
  RestoreOutcome outcome = restoreHostsFile(backupPath, [log](RestoreWait wait,
                                                              std::uint32_t error) {
    logMessage(kInfo, log, "Restore waits: %s (error %d); trying for up to %u s", waitReason(wait),
               static_cast<int>(error), static_cast<unsigned>(kRestoreWaitMs / 1000));
  });
  const std::string backup = wideToUtf8(backupPath);
  switch (outcome.result.stage) {
    case RestoreStage::kDone:
      if (outcome.hostsFileWasMissing) {
        logMessage(kInfo, log, "The hosts file was missing; put back from %s", backup.c_str());
      }
      return true;
    case RestoreStage::kLockFailed:
      logMessage(kError, log,
                 "Failed to take the write lock of the hosts file %d; the backup is kept in %s",
                 static_cast<int>(outcome.result.error), backup.c_str());
      return false;
    case RestoreStage::kCopyFailed:
    case RestoreStage::kFlushFailed:
    case RestoreStage::kSwapFailed:
      break;
  }
  logCopyFailure(log, backupPath, hostsDirectory(), outcome.result.error);
  return false;
}

// After a good restore the session's backup and journal have served their
// turn; one that cannot go is named, and the next session passes over it.
void removeSessionFiles(Logger* log, const SessionFiles& files) {
  for (const std::wstring* path : {&files.backup, &files.journal}) {
    if (DWORD error = removeSessionFile(*path)) {
      logMessage(kError, log, "Failed to remove %s %d", wideToUtf8(path->c_str()).c_str(),
                 static_cast<int>(error));
    }
  }
}

// Runs when a request's buffer cannot be had and the process is about to
// end: the controller's entries must not outlive the session.
void restoreBeforeTermination() {
  if (restoreFromBackup(armedBackupPath) && armedSessionFiles != nullptr)
    removeSessionFiles(getLogger("Server"), *armedSessionFiles);
}

// Keeps the termination hook armed with the backup for as long as serving
// may change the hosts file.
class ArmedRestore {
 public:
  ArmedRestore(const wchar_t* backupPath, const SessionFiles* sessionFiles) {
    armedBackupPath = backupPath;
    armedSessionFiles = sessionFiles;
    setTerminationHook(restoreBeforeTermination);
  }
  ~ArmedRestore() {
    setTerminationHook(nullptr);
    armedBackupPath = nullptr;
    armedSessionFiles = nullptr;
  }
  ArmedRestore(const ArmedRestore&) = delete;
  ArmedRestore& operator=(const ArmedRestore&) = delete;
};

// A console event (Ctrl+C, Ctrl+Break, closing the window, log-off, shut-down)
// ends serving as the end of the connection does: the handler, which the
// system runs on a thread of its own, shuts the socket down so that the
// blocked recv returns, and for the events after which the system ends the
// process it waits until the hosts file has been restored.
std::atomic<SOCKET> servedSocket{INVALID_SOCKET};
std::atomic<long> consoleEvent{-1};
HANDLE restoredEvent = nullptr;

// The system gives a handler 5 seconds for these before it ends the process.
constexpr DWORD kCloseEventWaitMs = 4500;

BOOL WINAPI onConsoleEvent(DWORD event) {
  consoleEvent = static_cast<long>(event);
  SOCKET sock = servedSocket.load();
  if (sock != INVALID_SOCKET) shutdown(sock, SD_BOTH);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(restoredEvent, kCloseEventWaitMs);
  }
  return TRUE;
}

// Handles console events for as long as serving may change the hosts file,
// and lets a waiting handler go once the restore is over.
class ConsoleEvents {
 public:
  explicit ConsoleEvents(SOCKET sock) : restored_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    restoredEvent = restored_.get();
    servedSocket = sock;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  }
  ~ConsoleEvents() {
    servedSocket = INVALID_SOCKET;
    SetEvent(restored_.get());
  }
  ConsoleEvents(const ConsoleEvents&) = delete;
  ConsoleEvents& operator=(const ConsoleEvents&) = delete;

  // The event that ended serving, if one did.
  static std::optional<long> received() {
    long event = consoleEvent.load();
    return event < 0 ? std::nullopt : std::optional<long>(event);
  }

 private:
  UniqueHandle restored_;
};

// Logs why reading a request stopped.
void logInputEnded(Logger* log, int error) {
  if (auto event = ConsoleEvents::received()) {
    logMessage(kInfo, log, "Serving interrupted by console event %d", static_cast<int>(*event));
  } else {
    logMessage(kInfo, log, "Console input failed with error %d", error);
  }
}

// Connects a new socket to the controller on localhost:`port` and hands it
// to `socketOut`. Returns 0, or the result that ends the run.
int connectToController(Logger* log, std::int32_t port, UniqueSocket& socketOut) {
  UniqueSocket sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!sock) {
    logMessage(kError, log, "Call to socket() returned INVALID_SOCKET");
    return kExitNoSocket;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  hostent* host = gethostbyname("localhost");
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    logMessage(kError, log, "Failed to resolve localhost error=%d",
               static_cast<int>(GetLastError()));
    return kExitNoConnection;
  }
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
      SOCKET_ERROR) {
    logMessage(kError, log, "Failed to connect socket error=%d", static_cast<int>(GetLastError()));
    return kExitNoConnection;
  }
  socketOut = std::move(sock);
  return 0;
}

// Receives exactly `length` bytes, in as many recv calls as the stream and
// recv's int length need. False when the connection ends or fails first;
// `error` then holds the code that the failing call left.
bool receiveAll(SOCKET sock, std::uint8_t* buffer, std::uint32_t length, int& error) {
  std::uint32_t total = 0;
  while (total < length) {
    int got =
        recv(sock, reinterpret_cast<char*>(buffer + total), nextReceiveSize(length - total), 0);
    if (got == 0 || got == SOCKET_ERROR) {
      error = static_cast<int>(GetLastError());
      return false;
    }
    total += static_cast<std::uint32_t>(got);
  }
  return true;
}

char appendEntry(Logger* log, const std::string& entry, JournalFile* journal) {
  AppendResult appended = appendLine(entry);
  if (appended.step == AppendStep::kLockFailed) {
    logMessage(kError, log, "Failed to take the write lock of the hosts file %d",
               static_cast<int>(appended.error));
  }
  if (appended.step == AppendStep::kOpenFailed) {
    logMessage(kInfo, log, "Failed to open hosts file %d", static_cast<int>(appended.error));
  }
  // A failed write is answered without a record of its own.
  if (appended.step != AppendStep::kDone) return kReplyFailure;
  logMessage(kInfo, log, "Written to hosts file '%s'", entry.c_str());
  // The line is in the hosts file: the journal must say so before the reply,
  // or a power cut now would leave it there for good. The restore at the
  // end takes it out all the same.
  if (journal != nullptr) {
    // Written as appended: up to the entry's first zero byte.
    if (DWORD error = journal->append(entry.c_str())) {
      logMessage(kError, log, "Failed to write the session journal %d", static_cast<int>(error));
    }
  }
  return kReplySuccess;
}

// Carries out one decoded request and returns its reply byte. Clears
// `serving` on a shutdown.
char carryOut(Logger* log, const Request& request, std::uint32_t bodyLength, bool& serving,
              JournalFile* journal) {
  switch (request.kind) {
    case RequestKind::kAdd:
      return appendEntry(log, request.entry, journal);
    case RequestKind::kRemove:
      logMessage(kInfo, log, "Client requested remove operation (This is currently unsupported)");
      return kReplyFailure;
    case RequestKind::kShutdown:
      logMessage(kInfo, log, "Shutting down varnick");
      serving = false;
      return kReplySuccess;
    case RequestKind::kInvalid:
      logMessage(kInfo, log, "Invalid operation %d requested", request.opCode);
      return kReplyFailure;
    case RequestKind::kTooShort:
      break;
  }
  if (bodyLength == 0) {
    logMessage(kInfo, log, "Empty request of 0 bytes holds no operation");
  } else {
    logMessage(kInfo, log, "Request of %u bytes is too short for operation %d",
               static_cast<unsigned>(bodyLength), request.opCode);
  }
  return kReplyFailure;
}

// Serves requests until a shutdown request or the end of the connection.
void serveRequests(Logger* log, SOCKET sock, JournalFile* journal) {
  std::uint8_t header[kLengthFieldSize];
  bool serving = true;
  while (serving) {
    logMessage(kInfo, log, "Reading from console");
    int error = 0;
    if (!receiveAll(sock, header, kLengthFieldSize, error)) {
      logInputEnded(log, error);
      return;
    }
    PacketBuffer body(readBigEndian32(header));
    if (!receiveAll(sock, body.data(), body.size(), error)) {
      logInputEnded(log, error);
      return;
    }
    Request request = decodeRequest(body);
    char reply = carryOut(log, request, body.size(), serving, journal);
    send(sock, &reply, 1, 0);
  }
}

// Takes the serving lock, waiting for a server that is still serving or
// restoring: two servers that overlap would each put back a backup that holds
// the other's entries, or lose them.
bool takeServingLock(Logger* log, HostsLock& serving) {
  DWORD error = serving.take(kServingLockWaitMs, [log](const StepResult&) {
    logMessage(kInfo, log, "Waiting for another Varnick server to end, for up to %u s",
               static_cast<unsigned>(kServingLockWaitMs / 1000));
  });
  if (error == ERROR_TIMEOUT) {
    logMessage(kError, log,
               "Failed to take the serving lock %d: another Varnick server did not "
               "end within %u s",
               static_cast<int>(error), static_cast<unsigned>(kServingLockWaitMs / 1000));
  } else if (error != ERROR_SUCCESS) {
    logMessage(kError, log, "Failed to take the serving lock %d", static_cast<int>(error));
  }
  return error == ERROR_SUCCESS;
}

// Serves the connected controller, then puts the backup back. Whether the
// hosts file was restored.
bool serveAndRestore(Logger* log, SOCKET sock, const wchar_t* backupPath, JournalFile* journal,
                     const SessionFiles* sessionFiles = nullptr) {
  ConsoleEvents events(sock);
  {
    ArmedRestore armed(backupPath, sessionFiles);
    serveRequests(log, sock, journal);
  }
  logMessage(kInfo, log, "Shutting down");
  return restoreFromBackup(backupPath);
}

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
    case RecoveryStep::kFilesKept:
    case RecoveryStep::kDone:
      break;
  }
  return "its backup or journal could not be removed";
}

// Puts right the sessions that ended without their restore: takes out the
// lines their journals name, and removes their backups and journals. The
// caller holds the serving lock. False when any could not be put right.
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

int runServer(std::int32_t port, const wchar_t* backupPath) {
  Logger* log = getLogger("Server");
  // Held until the restore has ended, on every way out; a process that ends
  // at once lets it go with its handles.
  HostsLock serving(HostsLock::Kind::kServing);
  if (!takeServingLock(log, serving)) return kExitFailure;
  if (std::uint32_t error = backUpHostsFile(backupPath)) {
    logCopyFailure(log, hostsDirectory(), backupPath, error);
    return kExitFailure;
  }
  UniqueSocket sock;
  if (int stop = connectToController(log, port, sock)) return stop;
  return serveAndRestore(log, sock.get(), backupPath, nullptr) ? kExitSuccess : kExitFailure;
}

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
  if (int stop = connectToController(log, port, sock)) {
    // Nothing was added: the backup and journal have nothing to put right.
    journal.close();
    removeSessionFiles(log, *files);
    return stop;
  }
  bool restored = serveAndRestore(log, sock.get(), files->backup.c_str(), &journal, &*files);
  journal.close();
  // A failed restore keeps both: the next session, or --recover, takes the
  // journal's lines out.
  if (restored) removeSessionFiles(log, *files);
  return restored ? kExitSuccess : kExitFailure;
}

int runRecovery() {
  Logger* log = getLogger("Server");
  HostsLock serving(HostsLock::Kind::kServing);
  if (!takeServingLock(log, serving)) return kExitFailure;
  return recoverInterruptedSessions(true) ? kExitSuccess : kExitFailure;
}

}  // namespace varnick
