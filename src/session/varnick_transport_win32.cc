#include "session/varnick_transport_win32.h"

#include <windows.h>

#include "base/file_io_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_location.h"
#include "session/line_changes.h"
#include "session/session_waits.h"
#include "session/varnick_report.h"

namespace varnick::control {

std::optional<std::string> readHostsFile() {
  Expected<std::string, std::uint32_t> content = readShared(hostsFilePath());
  if (!content) return std::nullopt;
  return std::move(*content);
}

SessionStep VarnickTransport::open(const ServiceAnswer& serviceAnswer, HANDLE stop) {
  controller_.setReporter(notice);
  std::optional<std::wstring> folder = varnickFolder();
  if (!folder) return unexpected(kSessionNoVarnick);
  logShown_ = varnickLogShown(*folder);
  if (Expected<void, std::string> listening = controller_.listen(options_.port); !listening) {
    report(listening.error());
    return unexpected(kSessionCannotListen);
  }
  // Without a --backup, Varnick's session mode keeps a journal of its lines
  // beside the hosts file, where only administrators may create or remove
  // files, and first puts right any session that was interrupted.
  const std::wstring port = std::to_wstring(controller_.port());
  std::vector<std::wstring> arguments{L"session", port};
  if (options_.backupPath) arguments = {L"server", port, *options_.backupPath};
  if (!startTrustedVarnick(controller_, options_, arguments, *folder, serviceAnswer))
    return unexpected(kSessionNoVarnick);
  // Varnick puts right the interrupted sessions before it connects.
  const int waitSeconds =
      options_.connectTimeoutSeconds + journalsBesideHostsFile() * kVarnickJournalBoundSeconds;
  const Expected<void, AcceptFailure> accepted = controller_.acceptVarnick(waitSeconds, stop);
  if (accepted) {
    // A session's Varnick put right interrupted sessions before it
    // connected; its report of that comes first. A server sends none.
    if (options_.backupPath) return {};
    Expected<Report, std::string> recovery = controller_.readReport("say what it put right");
    if (recovery) {
      sayWhatVarnickReported(*recovery, events_);
      return {};
    }
    // Nothing was added: its end takes nothing out.
    report(recovery.error());
    controller_.disconnect();
    // Whatever its exit, the session has failed and said why.
    (void)controller_.waitForVarnick(kExitWaitSeconds, "end");
    return unexpected(kSessionNoConnection);
  }
  switch (accepted.error().why) {
    case NotAccepted::kInterrupted:
      // Nothing is in the hosts file yet: the command never starts.
      report("interrupted before the entries were added; the command was not run");
      controller_.endVarnick();
      return unexpected(kSessionInterrupted);
    case NotAccepted::kTimedOut:
      report(accepted.error().message);
      break;
    case NotAccepted::kVarnickExited:
      report(accepted.error().message + "; see " + logShown_);
      break;
  }
  controller_.endVarnick();
  return unexpected(kSessionNoConnection);
}

// Only a server's restore undoes what others change: only then is the
// whole file worth keeping to name those changes.
void VarnickTransport::beforeAdds() {
  if (options_.backupPath) expectedHosts_ = readHostsFile();
}

SessionStep VarnickTransport::add(const SessionEntry& entry) {
  Expected<Reply, std::string> reply = controller_.add(entry.bytes);
  if (!reply) {
    report(reply.error());
    return unexpected(kSessionConnectionLost);
  }
  if (*reply == Reply::kFailure) {
    report("varnick.exe refused the entry '" + entry.shown + "'");
    return unexpected(kSessionEntryRefused);
  }
  if (expectedHosts_) expectedHosts_->append("\r\n").append(entry.bytes);
  return {};
}

// A server's restore puts back the whole file as it was when Varnick
// started: say what it will undo that this session did not do. (Without
// --backup, Varnick takes out the session's own lines and leaves the rest.)
void VarnickTransport::beforeEnd() {
  if (!options_.backupPath) return;
  std::optional<std::string> now = readHostsFile();
  if (!expectedHosts_ || !now) return;
  LineChanges changes = changedLines(*expectedHosts_, *now);
  if (changes.empty()) return;
  std::string message =
      "another program changed the hosts file during the session; the restore undoes that:";
  for (const std::string& line : changes.added)
    message += "\n  removes: " + line;
  for (const std::string& line : changes.removed)
    message += "\n  puts back: " + line;
  notice(message);
}

void VarnickTransport::adviseRestoreByHand() {
  const std::string hosts = wideToUtf8(hostsFilePath());
  auto copyCommand = [&hosts](const std::string& backup) {
    return "copy /y \"" + backup + "\" \"" + hosts + "\"";
  };
  std::string advice = "the entries may still be in the hosts file " + hosts;
  if (options_.backupPath) {
    const std::string saved = wideToUtf8(options_.backupPath->c_str());
    advice += "; its content from before the session is in " + saved +
              "; to put it back, run from an elevated prompt: " + copyCommand(saved);
  } else {
    // Varnick's journal names the lines that this session added: a recovery
    // takes out those and keeps what others wrote since.
    advice += "; to take them out, run: varnick-session --recover (the next session does it too)";
  }
  report(advice);
}

SessionStep VarnickTransport::end() {
  const char* ending =
      options_.backupPath ? "restore the hosts file" : "take the entries out of the hosts file";
  // A connection closed after a reply that never came takes no shutdown:
  // its end is Varnick's signal to restore.
  bool shutDown = false;
  if (controller_.connected()) {
    Expected<Reply, std::string> reply = controller_.shutdown();
    shutDown = reply && *reply == Reply::kSuccess;
    if (!reply)
      report("varnick.exe did not answer the shutdown: " + reply.error());
    else if (!shutDown)
      report("varnick.exe refused the shutdown");
  }
  if (!shutDown) {
    controller_.disconnect();
    controller_.waitForVarnick(kExitWaitSeconds, ending);
    adviseRestoreByHand();
    return unexpected(kSessionConnectionLost);
  }
  std::optional<DWORD> code = controller_.waitForVarnick(kExitWaitSeconds, ending);
  // A session's Varnick reports what it took out, and what stopped it,
  // before it exits.
  if (code && !options_.backupPath) {
    if (Expected<Report, std::string> taken = controller_.readReport("say what it took out"))
      sayWhatVarnickReported(*taken, events_);
    else
      notice(taken.error());
  }
  if (!code || *code != 0) {
    report(code ? "varnick.exe exited with code " + std::to_string(*code) + "; see " + logShown_
                : "varnick.exe did not exit within " + std::to_string(kExitWaitSeconds) +
                      " seconds");
    adviseRestoreByHand();
    return unexpected(kSessionVarnickFailed);
  }
  return {};
}

}  // namespace varnick::control
