#include "session/session_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd_posix.h"
#include "session/half_link_posix.h"
#include "session/half_start_posix.h"
#include "session/half_transport_posix.h"
#include "session/session_driver.h"
#include "session/session_signals_posix.h"
#include "session/session_waits.h"
#include "session/varnick_report.h"

namespace varnick::control {
namespace {

// How long a command that was passed an ending signal gets to end before
// its whole group is killed: a dev server that stops cleanly takes a
// moment, and the entries must not wait on one that never does.
constexpr int kCommandGraceMs = 10000;

// What only Linux does while a session runs: signals, the command's
// process group, and standard input.
class PosixHost final : public SessionHost {
 public:
  PosixHost(const std::optional<PosixCommand>& command, HalfLink& link)
      : command_(command), link_(link) {}

  std::optional<int> interruption() const override {
    if (endingSignal() == 0) return std::nullopt;
    return exitCodeForSignal(endingSignal());
  }

  void readHostsFile(const std::function<void(std::string_view)>& feed) const override {
    UniqueFd file(::open(halfPlaces().hosts.hostsFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return;
    std::vector<char> piece(1 << 20);
    for (ssize_t got; (got = ::read(file.get(), piece.data(), piece.size())) > 0;)
      feed(std::string_view(piece.data(), static_cast<std::size_t>(got)));
  }

  CommandEnd runCommand() override;
  int holdUntilEnter(std::optional<int> holdSeconds) override;

 private:
  const std::optional<PosixCommand>& command_;
  HalfLink& link_;
};

// Runs the command and waits for it. An ending signal goes on to the
// command's whole group, which gets kCommandGraceMs to end before it is
// killed.
CommandEnd PosixHost::runCommand() {
  Expected<StartedCommand, int> started = startPosixCommand(*command_);
  if (!started) {
    report("could not start " + command_->program + ": " + std::strerror(started.error()));
    return {kSessionNoCommand, false};
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
  if (passed != 0) return {exitCodeForSignal(passed), false};
  return {shellExitCode(*status), true};
}

int PosixHost::holdUntilEnter(std::optional<int> holdSeconds) {
  std::uint64_t until = UINT64_MAX;
  if (holdSeconds) until = nowMs() + static_cast<std::uint64_t>(*holdSeconds) * 1000;
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
    if (!holdSeconds) return 0;
    input = -1;
  }
  return exitCodeForSignal(endingSignal());
}

}  // namespace

SessionOutcome runLinuxSession(const SessionOptions& options,
                               const std::vector<SessionEntry>& entries,
                               const std::optional<PosixCommand>& command,
                               const EventStream& events) {
  HalfLink link;
  HalfStarted started;
  if (SessionStep opened = startServingHalf(link, started, options, events); !opened)
    return unexpected(opened.error());
  HalfTransport transport(link, started, events);
  PosixHost host(command, link);
  return driveSession(
      transport, host,
      {entries, halfPlaces().hosts.hostsFile, command.has_value(), options.holdSeconds}, events);
}

}  // namespace varnick::control
