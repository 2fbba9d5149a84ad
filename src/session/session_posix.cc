#include "session/session_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/error_text.h"
#include "base/unique_fd_posix.h"
#include "hosts/entry_syntax.h"
#include "session/half_link_posix.h"
#include "session/half_start_posix.h"
#include "session/session_events.h"
#include "session/session_signals_posix.h"
#include "session/session_waits.h"
#include "session/varnick_report.h"

namespace varnick::control {
namespace {

// How long a command that was passed an ending signal gets to end before
// its whole group is killed: a dev server that stops cleanly takes a
// moment, and the entries must not wait on one that never does.
constexpr int kCommandGraceMs = 10000;

// The local time `seconds` from now, "HH:MM:SS".
std::string localTimeIn(int seconds) {
  const std::time_t then = std::time(nullptr) + seconds;
  std::tm local{};
  char text[16] = "?";
  if (::localtime_r(&then, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

class LinuxSession {
 public:
  LinuxSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
               const std::optional<PosixCommand>& command, const EventStream& events)
      : options_(options), entries_(entries), command_(command), events_(events) {}

  SessionOutcome run();

 private:
  std::optional<int> start();
  bool addEntries(int& failure);
  void warnAboutLinesAlreadyThere() const;
  int runCommand();
  int holdUntilEnter();
  std::optional<int> end();

  const SessionOptions& options_;
  const std::vector<SessionEntry>& entries_;
  const std::optional<PosixCommand>& command_;
  const EventStream& events_;
  HalfLink link_;
  HalfStarted started_;
  std::size_t added_ = 0;
  bool commandsCode_ = false;  // the result is the command's own exit code
};

// Starts the half and reads its report of the interrupted sessions it put
// right. An exit code when the session cannot go on.
std::optional<int> LinuxSession::start() {
  if (!startTrustedHalf(link_, options_, started_)) return kSessionNoVarnick;
  Report recovery;
  const HalfLink::Started how = link_.awaitStartReport(startWaitSeconds(options_), recovery);
  if (how == HalfLink::Started::kReported) {
    sayWhatVarnickReported(recovery, events_);
    return std::nullopt;
  }
  // Nothing is in the hosts file yet: the command never starts.
  if (how == HalfLink::Started::kInterrupted)
    report("interrupted before the entries were added; the command was not run");
  return explainNoStart(link_, how, started_);
}

// A line that the hosts file holds already is still added: the session's
// copy comes and goes with it, and the other stays.
void LinuxSession::warnAboutLinesAlreadyThere() const {
  std::vector<std::string> lines;
  for (const SessionEntry& entry : entries_)
    lines.push_back(entry.bytes);
  WholeLineFinder finder(std::move(lines));
  // Read in pieces; one that cannot be read is the half's to report.
  UniqueFd file(::open(halfPlaces().hosts.hostsFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return;
  std::vector<char> piece(1 << 20);
  for (ssize_t got; (got = ::read(file.get(), piece.data(), piece.size())) > 0;)
    finder.feed(std::string_view(piece.data(), static_cast<std::size_t>(got)));
  std::vector<bool> found = finder.finish();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (found[i])
      notice("the hosts file already holds the line '" + entries_[i].shown +
             "'; it is added again");
  }
}

// Adds every entry; reports each refused one. False when any was refused,
// the connection broke or the session was interrupted (`failure` says which).
bool LinuxSession::addEntries(int& failure) {
  warnAboutLinesAlreadyThere();
  for (const SessionEntry& entry : entries_) {
    if (endingSignal() != 0) {
      report("interrupted before all the entries were added; the command was not run");
      failure = exitCodeForSignal(endingSignal());
      return false;
    }
    std::optional<Reply> reply = link_.add(entry.bytes);
    if (!reply) {
      report(link_.error());
      failure = kSessionConnectionLost;
      return false;
    }
    if (*reply == Reply::kFailure) {
      report("the privileged half refused the entry '" + entry.shown + "'; see " +
             halfPlaces().logFile);
      failure = kSessionEntryRefused;
      return false;
    }
    ++added_;
  }
  if (endingSignal() != 0) {
    report("interrupted before the command started; the command was not run");
    failure = exitCodeForSignal(endingSignal());
    return false;
  }
  return true;
}

// Runs the command and waits for it. An ending signal goes on to the
// command's whole group, which gets kCommandGraceMs to end before it is
// killed. The command's exit code, or a session code when it could not run
// or the session was interrupted.
int LinuxSession::runCommand() {
  Expected<StartedCommand, int> started = startPosixCommand(*command_);
  if (!started) {
    report("could not start " + command_->program + ": " + std::strerror(started.error()));
    return kSessionNoCommand;
  }
  const pid_t group = started->pid;
  int passed = 0;            // the ending signal passed on to the command
  std::uint64_t killAt = 0;  // when the group is killed, once a signal was passed
  bool watchHalf = true;
  std::optional<int> status;
  while (!(status = reapOrFollowStop(*started))) {
    if (passed == 0 && endingSignal() != 0) {
      passed = endingSignal();
      ::kill(-group, passed);
      killAt = nowMs() + kCommandGraceMs;
    }
    if (passed != 0 && nowMs() >= killAt) {
      notice("the command did not end within " + std::to_string(kCommandGraceMs / 1000) +
             " seconds of the signal; ending its process group");
      ::kill(-group, SIGKILL);
      killAt = UINT64_MAX;
    }
    const int slice = passed != 0 && killAt != UINT64_MAX ? 200 : -1;
    if (waitReadable(watchHalf ? link_.socketFd() : -1, slice)) {
      // The half sends nothing unasked: its end has come.
      report("the privileged half ended while the command was running");
      watchHalf = false;
    }
  }
  takeTerminalBack(*started);
  if (passed != 0) return exitCodeForSignal(passed);
  commandsCode_ = true;
  return shellExitCode(*status);
}

// Holds the entries until a line on standard input, its end (unless --for
// gives a time), the time given, or an ending signal.
int LinuxSession::holdUntilEnter() {
  std::uint64_t until = UINT64_MAX;
  if (options_.holdSeconds) {
    until = nowMs() + static_cast<std::uint64_t>(*options_.holdSeconds) * 1000;
    notice("the entries are in the hosts file until " + localTimeIn(*options_.holdSeconds) + " (" +
           std::to_string(*options_.holdSeconds) +
           " s); press Enter or Ctrl+C to remove them sooner");
  } else {
    notice("the entries are in the hosts file; press Enter or Ctrl+C to remove them");
  }
  int input = STDIN_FILENO;
  while (endingSignal() == 0) {
    const std::uint64_t now = nowMs();
    if (now >= until) return 0;
    const int slice =
        until == UINT64_MAX ? -1 : static_cast<int>(std::min<std::uint64_t>(until - now, 60000));
    if (!waitReadable(input, slice)) continue;
    char bytes[256];
    const ssize_t got = ::read(input, bytes, sizeof bytes);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got > 0) {
      if (std::memchr(bytes, '\n', static_cast<std::size_t>(got)) != nullptr) return 0;
      continue;
    }
    // The end of standard input closes a session without a time; one with
    // a time keeps it, whatever its input is.
    if (!options_.holdSeconds) return 0;
    input = -1;
  }
  return exitCodeForSignal(endingSignal());
}

// Ends serving and waits for the half's take-out. A session code unless the
// half answered the shutdown and exited 0.
std::optional<int> LinuxSession::end() {
  const char* ending = "take the entries out of the hosts file";
  std::optional<Reply> reply;
  if (link_.connected()) {
    reply = link_.shutdown();
    if (!reply || *reply != Reply::kSuccess)
      report("the privileged half did not answer the shutdown: " + link_.error());
  }
  if (!reply || *reply != Reply::kSuccess) {
    link_.disconnect();
    (void)link_.waitForExit(kExitWaitSeconds, ending);  // its code adds nothing to the advice
    adviseRecovery();
    return kSessionConnectionLost;
  }
  // The half reports what it took out, and what stopped it, before it exits.
  if (std::optional<Report> taken = link_.readReport(ending, kExitWaitSeconds))
    sayWhatVarnickReported(*taken, events_);
  else
    notice(link_.error());
  link_.disconnect();
  const std::optional<int> code = link_.waitForExit(kExitWaitSeconds, ending);
  if (!code || *code != 0) {
    report(code ? "the privileged half exited with code " + std::to_string(*code) + "; see " +
                      halfPlaces().logFile
                : "the privileged half did not exit within " + std::to_string(kExitWaitSeconds) +
                      " seconds");
    adviseRecovery();
    return kSessionVarnickFailed;
  }
  return std::nullopt;
}

SessionOutcome LinuxSession::run() {
  if (std::optional<int> stop = start()) return unexpected(*stop);
  int failure = 0;
  int result = 0;
  if (addEntries(failure)) {
    std::vector<std::string> shown;
    for (const SessionEntry& entry : entries_)
      shown.push_back(entry.shown);
    events_.write(readyEvent(shown, halfPlaces().hosts.hostsFile,
                             started_.how == HalfStart::kDirect ? "root" : "sudo"));
    result = command_ ? runCommand() : holdUntilEnter();
  } else {
    result = failure;
  }
  // Unless the half answered the shutdown and exited 0 after its take-out,
  // the hosts file may still hold the entries: that outweighs the command's
  // code and any other failure, unless no entry was ever written.
  std::optional<int> ending = end();
  if (ending && (added_ != 0 || failure == 0)) return unexpected(*ending);
  if (!commandsCode_ && result != 0) return unexpected(result);
  return result;
}

}  // namespace

SessionOutcome runLinuxSession(const SessionOptions& options,
                               const std::vector<SessionEntry>& entries,
                               const std::optional<PosixCommand>& command,
                               const EventStream& events) {
  LinuxSession session(options, entries, command, events);
  return session.run();
}

int recoverOnLinux(const SessionOptions& options, const EventStream& events) {
  HalfLink link;
  HalfStarted started;
  if (!startTrustedHalf(link, options, started)) return kSessionNoVarnick;
  const std::string work = options.clean ? "clean" : "recovery";
  Report done;
  const HalfLink::Started how = link.awaitStartReport(startWaitSeconds(options), done);
  if (how != HalfLink::Started::kReported) {
    if (how == HalfLink::Started::kInterrupted)
      report("interrupted before the " + work + " was done");
    return explainNoStart(link, how, started);
  }
  sayWhatVarnickReported(done, events);
  // A recovering half has put right what it could, and a session without
  // entries ends at once; a cleaning one ends of itself after its report.
  if (!options.clean) {
    const std::optional<Reply> reply = link.shutdown();
    if (reply && *reply == Reply::kSuccess) (void)link.readReport("end", kExitWaitSeconds);
  }
  link.disconnect();
  const std::optional<int> code = link.waitForExit(kExitWaitSeconds, "end");
  for (const ReportItem& item : done) {
    if (isFailure(item.kind)) {
      report("the " + work + " failed; see " + halfPlaces().logFile);
      return kSessionVarnickFailed;
    }
  }
  if (!code || *code != 0) {
    report(code ? "the privileged half exited with code " + std::to_string(*code) + "; see " +
                      halfPlaces().logFile
                : "the privileged half did not end within " + std::to_string(kExitWaitSeconds) +
                      " seconds; see " + halfPlaces().logFile);
    return kSessionVarnickFailed;
  }
  return 0;
}

}  // namespace varnick::control
