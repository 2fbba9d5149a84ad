#include "modes/serving_win32.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/exit_codes.h"
#include "base/wide_text.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_location.h"
#include "link/console_handler_win32.h"
#include "hosts/session_append.h"
#include "modes/append_record.h"
#include "modes/caller_checks.h"
#include "link/controller_connection_win32.h"
#include "link/wire_format.h"
#include "modes/out_of_memory_record.h"

namespace varnick {
namespace {

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
bool restoreFromBackup(Logger* log, const wchar_t* backupPath) {
  RestoreOutcome restored = restoreHostsFile(backupPath, [log](RestoreWait wait,
                                                               std::uint32_t error) {
    logMessage(kInfo, log, "Restore waits: %s (error %d); trying for up to %u s", waitReason(wait),
               static_cast<int>(error), static_cast<unsigned>(kRestoreWaitMs / 1000));
  });
  const std::string backup = wideToUtf8(backupPath);
  if (restored) {
    if (restored->hostsFileWasMissing) {
      logMessage(kInfo, log, "The hosts file was missing; put back from %s", backup.c_str());
    }
    return true;
  }
  const StepFailure<RestoreStage>& failure = restored.error();
  switch (failure.step) {
    case RestoreStage::kLockFailed:
      logMessage(kError, log,
                 "Failed to take the write lock of the hosts file %d; the backup is kept in %s",
                 static_cast<int>(failure.code), backup.c_str());
      return false;
    case RestoreStage::kCopyFailed:
    case RestoreStage::kFlushFailed:
    case RestoreStage::kSwapFailed:
      break;
  }
  // The record that log readers know for a restore that failed, then the
  // step it failed at when that was not the copy itself.
  logCopyFailure(log, backupPath, hostsDirectory(), failure.code);
  if (failure.step != RestoreStage::kCopyFailed) {
    logMessage(kError, log, "Failed to %s %d; the backup is kept in %s",
               failure.step == RestoreStage::kFlushFailed
                   ? "flush the restored hosts file to the disk"
                   : "put the restored hosts file in place of the old one",
               static_cast<int>(failure.code), backup.c_str());
  }
  return false;
}

// Carries out the controller's requests on the hosts file and makes their
// records.
class HostsFileRequestHandler final : public ServingEvents {
 public:
  HostsFileRequestHandler(Logger* log, const JournaledAdds* journaled, ServingEnd& end)
      : log_(log), journaled_(journaled), end_(end) {}

  void awaitingRequest() override { logMessage(kInfo, log_, "Reading from console"); }

  void inputEnded(int error, std::optional<long> event) override {
    if (event) {
      logMessage(kInfo, log_, "Serving interrupted by console event %d", static_cast<int>(*event));
    } else {
      logMessage(kInfo, log_, "Console input failed with error %d", error);
    }
  }

  char add(const std::string& entry) override {
    // A session's entries pass the check of every privileged side; the bare
    // server writes what its controller sends.
    if (journaled_ && !entryAllowed(log_, entry)) return kReplyFailure;
    const bool written =
        journaled_
            ? logJournaledAppend(
                  log_, appendJournaled(journaled_->store, journaled_->journal, entry), entry)
            : logAppend(log_, appendLine(entry), entry);
    return written ? kReplySuccess : kReplyFailure;
  }

  char remove() override {
    logMessage(kInfo, log_, "Client requested remove operation (This is currently unsupported)");
    return kReplyFailure;
  }

  char shutdown() override {
    logMessage(kInfo, log_, "Shutting down varnick");
    return kReplySuccess;
  }

  char invalid(int opCode) override {
    logMessage(kInfo, log_, "Invalid operation %d requested", opCode);
    return kReplyFailure;
  }

  char tooShort(std::uint32_t bodyLength, int opCode) override {
    if (bodyLength == 0) {
      logMessage(kInfo, log_, "Empty request of 0 bytes holds no operation");
    } else {
      logMessage(kInfo, log_, "Request of %u bytes is too short for operation %d",
                 static_cast<unsigned>(bodyLength), opCode);
    }
    return kReplyFailure;
  }

  void replyFailed(int error) override {
    logMessage(kError, log_, "Failed to send the reply %d", error);
  }

  // The controller's entries must not outlive the process, so the hosts
  // file is put right first. Then the process ends at once rather than
  // serving on or unwinding through code that may need memory.
  void outOfMemory(std::uint32_t bodyLength) override {
    outOfMemoryRecord_.log(bodyLength);
    // Its records say whether the hosts file was put right; the exit code
    // says the memory ran out either way.
    (void)end_.finish();
    std::_Exit(kExitOutOfMemory);
  }

  void tooLong(std::uint32_t bodyLength) override { logRequestTooLong(log_, bodyLength); }

 private:
  Logger* log_;
  const JournaledAdds* journaled_;
  ServingEnd& end_;
  const OutOfMemoryRecord outOfMemoryRecord_;
};

}  // namespace

std::string localTimeText() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  return text;
}

bool takeServingLock(Logger* log, HostsLock& serving) {
  const SystemResult taken = serving.take(kServingLockWaitMs, [log](const StepResult&) {
    logMessage(kInfo, log, "Waiting for another Varnick server to end, for up to %u s",
               static_cast<unsigned>(kServingLockWaitMs / 1000));
  });
  if (taken) return true;
  const std::uint32_t error = taken.error();
  if (error == ERROR_TIMEOUT) {
    logMessage(kError, log,
               "Failed to take the serving lock %d: another Varnick server did not "
               "end within %u s",
               static_cast<int>(error), static_cast<unsigned>(kServingLockWaitMs / 1000));
  } else {
    logMessage(kError, log, "Failed to take the serving lock %d", static_cast<int>(error));
  }
  return false;
}

void logCopyFailure(Logger* log, const wchar_t* from, const wchar_t* to, std::uint32_t error) {
  logMessage(kInfo, log, "Failed to copy hosts file from %s to %s error code %d",
             wideToUtf8(from).c_str(), wideToUtf8(to).c_str(), static_cast<int>(error));
}

Expected<UniqueSocket, int> connectOrLog(Logger* log, std::int32_t port) {
  ConnectResult connected = connectToController(port);
  if (connected) return std::move(*connected);
  const int error = static_cast<int>(connected.error().code);
  switch (connected.error().step) {
    case ConnectStep::kNoSocket:
      logMessage(kError, log, "Call to socket() returned INVALID_SOCKET");
      return unexpected(kExitNoSocket);
    case ConnectStep::kNoAddress:
      logMessage(kError, log, "Failed to resolve localhost error=%d", error);
      return unexpected(kExitNoConnection);
    case ConnectStep::kNoConnection:
      break;
  }
  logMessage(kError, log, "Failed to connect socket error=%d", error);
  return unexpected(kExitNoConnection);
}

bool BackupEnd::finish() { return restoreFromBackup(log_, backupPath_); }

bool serveUntilEnd(Logger* log, SOCKET sock, const JournaledAdds* journaled, ServingEnd& end) {
  ConsoleEvents events(sock);
  {
    HostsFileRequestHandler requests(log, journaled, end);
    serveRequests(sock, requests,
                  journaled ? std::optional<std::uint32_t>(kMaxSessionRequestBody) : std::nullopt);
  }
  logMessage(kInfo, log, "Shutting down");
  return end.finish();
}

}  // namespace varnick
