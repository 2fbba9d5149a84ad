#include "session/session_signals_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace varnick::control {
namespace {

int gWakeRead = -1;
int gWakeWrite = -1;
std::atomic<int> gEndingSignal{0};

void onSignal(int signal) {
  const int saved = errno;
  if (signal != SIGCHLD) {
    int none = 0;
    gEndingSignal.compare_exchange_strong(none, signal);
  }
  const char byte = static_cast<char>(signal);
  // A full pipe already wakes the wait: a write that fails loses nothing.
  const ssize_t written = ::write(gWakeWrite, &byte, 1);
  (void)written;
  errno = saved;
}

}  // namespace

bool catchEndingSignals() {
  if (gWakeRead >= 0) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  gWakeRead = ends[0];
  gWakeWrite = ends[1];
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
    ::sigaction(signal, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, nullptr);
  return true;
}

int wakeFd() { return gWakeRead; }

void drainWakes() {
  char bytes[64];
  while (::read(gWakeRead, bytes, sizeof bytes) > 0) {
  }
}

int endingSignal() { return gEndingSignal.load(); }

int exitCodeForSignal(int signal) { return 128 + signal; }

int shellExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 127;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd watched[2];
  nfds_t count = 0;
  if (fd >= 0) watched[count++] = {fd, POLLIN, 0};
  watched[count++] = {gWakeRead, POLLIN, 0};
  if (::poll(watched, count, timeoutMs) <= 0) return false;
  if (watched[count - 1].revents != 0) drainWakes();
  return fd >= 0 && watched[0].revents != 0;
}

std::optional<int> reapIfEnded(pid_t child) {
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(child, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == child) return status;
  // A child that is gone already (ECHILD) counts as ended with a failure.
  if (reaped < 0) return W_EXITCODE(127, 0);
  return std::nullopt;
}

std::uint64_t nowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace varnick::control
