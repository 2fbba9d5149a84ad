#include "session/session_win32.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

#include "base/error_text.h"
#include "base/file_io_win32.h"
#include "base/unique_resource_win32.h"
#include "base/wide_text.h"
#include "hosts/entry_syntax.h"
#include "hosts/hosts_location.h"
#include "service/service_client_win32.h"
#include "session/controller_win32.h"
#include "session/line_changes.h"
#include "session/session_advice.h"
#include "session/session_events.h"
#include "session/session_exit_codes.h"
#include "session/session_waits.h"
#include "session/varnick_report.h"
#include "session/varnick_start_win32.h"

namespace varnick::control {
namespace {

constexpr DWORD kCommandGraceMs = 3000;
// How a process ended by Ctrl+C exits on Windows (STATUS_CONTROL_C_EXIT);
// under Wine it exits with 0.
constexpr DWORD kControlCExit = 0xC000013A;
// Long enough for a console event's handler thread to start, too short for
// a person to notice.
constexpr DWORD kEventLagMs = 50;

bool onConsole() {
  DWORD process = 0;
  return GetConsoleProcessList(&process, 1) != 0;
}

// The hosts file as it stands, read while others may go on using it;
// nothing when it cannot be read.
std::optional<std::string> readHostsFile() {
  std::string content;
  if (!readShared(hostsFilePath(), content)) return std::nullopt;
  return content;
}

// A part of the session done, and the session goes on; or the exit code
// that ends it.
using SessionStep = Expected<void, int>;

// How the session goes on once the Varnick service was asked: the service
// holds every entry, or the session starts Varnick through consent.
enum class ServiceStart { kTaken, kAskConsent };

class Session {
 public:
  Session(const SessionOptions& options, const std::vector<SessionEntry>& entries,
          const std::optional<CommandToRun>& command, const Interruption& interruption,
          const EventStream& events)
      : options_(options),
        entries_(entries),
        command_(command),
        interruption_(interruption),
        events_(events) {}

  SessionOutcome run();

 private:
  SessionStep start();
  Expected<ServiceStart, int> addThroughService();
  SessionStep endThroughService();
  SessionOutcome serve();
  SessionStep addEntries();
  void warnAboutLinesAlreadyThere() const;
  int runCommand();
  int holdUntilEnter();
  void warnAboutOthersChanges();
  SessionStep end();
  bool lateInterruption() const;
  void adviseRestoreByHand();

  const SessionOptions& options_;
  const std::vector<SessionEntry>& entries_;
  const std::optional<CommandToRun>& command_;
  Interruption interruption_;
  const EventStream& events_;
  Controller controller_;
  std::optional<ServiceClient> service_;      // when the Varnick service holds the entries
  ServiceAnswer serviceAnswer_;               // what the service said before consent was asked
  std::string logShown_;                      // varnick.log, for messages
  std::optional<std::string> expectedHosts_;  // the hosts file as this session alone leaves it
  std::size_t added_ = 0;                     // entries that Varnick wrote
  bool commandsCode_ = false;                 // the result is the command's own exit code
  std::optional<std::uint64_t>
      lateEventFrom_;  // when the command ended, if a console event may follow
};

// Through the Varnick service, when it runs and allows every entry: no
// consent and no elevated Varnick. Whether it took them all or the session
// goes on through consent; else the exit code that ends the session.
Expected<ServiceStart, int> Session::addThroughService() {
  ServiceClient client;
  if (Expected<void, std::string> connected = client.connect(); !connected) {
    if (!options_.noConsent) return ServiceStart::kAskConsent;
    report("service-not-running",
           connected.error() +
               "; --no-consent never asks for consent (varnick service install, "
               "once, elevated, sets the service up)");
    return unexpected(kSessionNoVarnick);
  }
  serviceAnswer_.answered = true;
  warnAboutLinesAlreadyThere();
  for (const SessionEntry& entry : entries_) {
    if (interruption_.happened()) {
      (void)client.end();  // the service takes them out when the pipe closes, if not here
      report("interrupted before all the entries were added; the command was not run");
      return unexpected(kSessionInterrupted);
    }
    Expected<ServiceReply, std::string> reply = client.add(entry.bytes);
    if (reply && reply->status == ServiceStatus::kDone) continue;
    const bool refused = reply && reply->status == ServiceStatus::kRefused;
    const std::string why = !reply ? reply.error()
                                   : "the Varnick service " +
                                         std::string(refused ? "refused" : "could not add") + " '" +
                                         entry.shown + "': " + reply->text;
    if (refused) serviceAnswer_.refusedBy = reply->rule;
    // What it took already goes: the session starts over through consent.
    (void)client.end();  // the service takes them out when the pipe closes, if not here
    if (options_.noConsent) {
      report(refused ? "service-refused" : "service-failed", why);
      if (std::optional<std::string> widened = policyRemedy(serviceAnswer_.refusedBy))
        remedy(*widened);
      return unexpected(refused ? kSessionUsage : kSessionEntryRefused);
    }
    notice(why + "; asking for consent instead");
    return ServiceStart::kAskConsent;
  }
  added_ = entries_.size();
  service_ = std::move(client);
  return ServiceStart::kTaken;
}

// Takes the entries out through the service. A session code unless it
// took them all out.
SessionStep Session::endThroughService() {
  Expected<std::pair<ServiceReply, Report>, std::string> ended = service_->end();
  if (!ended) {
    report(ended.error() + "; the Varnick service takes the entries out when the connection ends");
    return unexpected(kSessionConnectionLost);
  }
  sayWhatVarnickReported(ended->second, events_);
  if (ended->first.status != ServiceStatus::kDone) {
    report("the Varnick service could not take the entries out: " + ended->first.text);
    return unexpected(kSessionVarnickFailed);
  }
  return {};
}

// Through the service when it takes every entry; else listens, starts
// Varnick and waits for its connection. An exit code when the session cannot
// go on.
SessionStep Session::start() {
  if (!options_.backupPath) {
    Expected<ServiceStart, int> throughService = addThroughService();
    if (!throughService) return unexpected(throughService.error());
    if (*throughService == ServiceStart::kTaken) return {};
  }
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
  if (!startTrustedVarnick(controller_, options_, arguments, *folder, serviceAnswer_))
    return unexpected(kSessionNoVarnick);
  // Varnick puts right the interrupted sessions before it connects.
  const int waitSeconds =
      options_.connectTimeoutSeconds + journalsBesideHostsFile() * kVarnickJournalBoundSeconds;
  const Expected<void, AcceptFailure> accepted =
      controller_.acceptVarnick(waitSeconds, interruption_.stop);
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

// Adds every entry; reports each refused one. The session code when any was
// refused, the connection broke or the session was interrupted.
SessionStep Session::addEntries() {
  if (service_) return {};  // the service took them at the start
  // Only a server's restore undoes what others change: only then is the
  // whole file worth keeping to name those changes.
  if (options_.backupPath) expectedHosts_ = readHostsFile();
  warnAboutLinesAlreadyThere();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (interruption_.happened()) {
      report("interrupted before all the entries were added; the command was not run");
      return unexpected(kSessionInterrupted);
    }
    Expected<Reply, std::string> reply = controller_.add(entries_[i].bytes);
    if (!reply) {
      report(reply.error());
      return unexpected(kSessionConnectionLost);
    }
    if (*reply == Reply::kFailure) {
      report("varnick.exe refused the entry '" + entries_[i].shown + "'");
      return unexpected(kSessionEntryRefused);
    }
    ++added_;
    if (expectedHosts_) expectedHosts_->append("\r\n").append(entries_[i].bytes);
  }
  if (interruption_.happened()) {
    report("interrupted before the command started; the command was not run");
    return unexpected(kSessionInterrupted);
  }
  return {};
}

// A line that the hosts file holds already is still added: the session's
// copy comes and goes with it, and the other stays.
void Session::warnAboutLinesAlreadyThere() const {
  std::vector<std::string> lines;
  for (const SessionEntry& entry : entries_)
    lines.push_back(entry.bytes);
  WholeLineFinder finder(std::move(lines));
  // Read in pieces: a large hosts file need not be in memory for this. One
  // that cannot be read is Varnick's to report.
  UniqueFile file(CreateFileW(hostsFilePath(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return;
  std::vector<char> piece(1 << 20);
  DWORD got = 0;
  while (ReadFile(file.get(), piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) &&
         got != 0) {
    finder.feed(std::string_view(piece.data(), got));
  }
  std::vector<bool> found = finder.finish();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (found[i])
      notice("the hosts file already holds the line '" + entries_[i].shown +
             "'; it is added again");
  }
}

// Runs the command and waits for it or for an interruption. The command's
// exit code, or a session code when it could not run or was interrupted.
int Session::runCommand() {
  std::wstring line = command_->commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // The program is named: CreateProcessW's own search would run a batch
  // file through cmd.exe with the arguments as they stand.
  if (!CreateProcessW(command_->application.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    report(withCode("could not start " + wideToUtf8(command_->application.c_str()), error));
    return kSessionNoCommand;
  }
  CloseHandle(process.hThread);
  UniqueHandle child(process.hProcess);
  // Through the service there is no Varnick process to watch.
  HANDLE waits[] = {child.get(), interruption_.stop, controller_.varnickProcess()};
  const DWORD watched = waits[2] != nullptr ? 3 : 2;
  DWORD woke = WaitForMultipleObjects(watched, waits, FALSE, INFINITE);
  if (woke == WAIT_OBJECT_0 + 2) {
    report("varnick.exe ended while the command was running");
    woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
  if (woke != WAIT_OBJECT_0) {
    // Interrupted: the command got the same console event; give it a moment.
    WaitForSingleObject(child.get(), kCommandGraceMs);
    return kSessionInterrupted;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(child.get(), &code)) {
    const DWORD error = GetLastError();
    report(withCode("could not read the command's exit code", error));
    return kSessionNoCommand;
  }
  // A Ctrl+C reaches every process on the console at about the same moment,
  // and may end the command before this process's handler has run.
  // The session's end goes on meanwhile, and lateInterruption() waits for
  // what is left of that moment afterwards.
  if (code == kControlCExit || onConsole()) lateEventFrom_ = GetTickCount64();
  if (interruption_.happened()) return kSessionInterrupted;
  commandsCode_ = true;
  return static_cast<int>(code);
}

// Reads standard input until a line ends, then stops the session. At the
// end of the input it stops the session only when `kEndOfInputStops`: a
// script closes a session without a time that way, while a session with
// one keeps its time whatever its input is (NUL, a closed pipe, none).
template <bool kEndOfInputStops>
DWORD WINAPI waitForEnter(void* stop) {
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
  }
  if (c == '\n' || kEndOfInputStops) SetEvent(static_cast<HANDLE>(stop));
  return 0;
}

// The local time `seconds` from now, "HH:MM:SS".
std::string localTimeIn(int seconds) {
  std::time_t then = std::time(nullptr) + seconds;
  char text[16] = "?";
  if (const std::tm* local = std::localtime(&then))
    std::strftime(text, sizeof text, "%H:%M:%S", local);
  return text;
}

int Session::holdUntilEnter() {
  DWORD wait = INFINITE;
  if (options_.holdSeconds) {
    wait = static_cast<DWORD>(*options_.holdSeconds) * 1000;
    notice("the entries are in the hosts file until " + localTimeIn(*options_.holdSeconds) + " (" +
           std::to_string(*options_.holdSeconds) +
           " s); press Enter or Ctrl+C to remove them sooner");
  } else {
    notice("the entries are in the hosts file; press Enter or Ctrl+C to remove them");
  }
  UniqueHandle reader(CreateThread(nullptr, 0,
                                   options_.holdSeconds ? waitForEnter<false> : waitForEnter<true>,
                                   interruption_.stop, 0, nullptr));
  if (!reader) {
    const DWORD error = GetLastError();
    notice("could not watch standard input for Enter " + errorInParentheses(error) +
           ": only Ctrl+C" + (options_.holdSeconds ? " or the time given" : "") +
           " removes the entries");
  }
  WaitForSingleObject(interruption_.stop, wait);
  return interruption_.happened() ? kSessionInterrupted : 0;
}

// A server's restore puts back the whole file as it was when Varnick
// started: say what it will undo that this session did not do. (Without
// --backup, Varnick takes out the session's own lines and leaves the rest.)
void Session::warnAboutOthersChanges() {
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

void Session::adviseRestoreByHand() {
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

// Ends serving and waits for Varnick's restore. A session code unless
// Varnick answered the shutdown and exited 0.
SessionStep Session::end() {
  if (service_) return endThroughService();
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

SessionOutcome Session::serve() {
  const SessionStep added = addEntries();
  int result = 0;
  if (added) {
    std::vector<std::string> shown;
    for (const SessionEntry& entry : entries_)
      shown.push_back(entry.shown);
    events_.write(readyEvent(shown, wideToUtf8(hostsFilePath()), service_ ? "service" : "consent"));
    result = command_ ? runCommand() : holdUntilEnter();
  } else {
    result = added.error();
  }
  warnAboutOthersChanges();
  // Unless Varnick answered the shutdown and exited 0 after its restore, the
  // hosts file may still hold the entries: that outweighs the command's code
  // and any other failure, unless no entry was ever written.
  SessionStep ending = end();
  if (!ending && (added_ != 0 || added)) return unexpected(ending.error());
  if (commandsCode_ && lateInterruption()) return unexpected(kSessionInterrupted);
  if (!commandsCode_ && result != 0) return unexpected(result);
  return result;
}

// Whether a console event that ended the command reaches this process within
// kEventLagMs of the command's end; waits only for what is left of that.
bool Session::lateInterruption() const {
  if (!lateEventFrom_) return false;
  const std::uint64_t since = GetTickCount64() - *lateEventFrom_;
  if (since < kEventLagMs)
    WaitForSingleObject(interruption_.stop, static_cast<DWORD>(kEventLagMs - since));
  return interruption_.happened();
}

SessionOutcome Session::run() {
  if (SessionStep started = start(); !started) return unexpected(started.error());
  return serve();
}

}  // namespace

SessionOutcome runSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
                          const std::optional<CommandToRun>& command,
                          const Interruption& interruption, const EventStream& events) {
  if (Expected<void, LocateFailure> located = locateHostsFile(); !located) {
    const std::string text =
        "could not find the hosts file through the registry value DataBasePath";
    const std::uint32_t code = located.error().code;
    report("hosts-file-not-found", code != 0 ? withCode(text, code) : text);
    return unexpected(kSessionNoVarnick);
  }
  Session session(options, entries, command, interruption, events);
  return session.run();
}

}  // namespace varnick::control
