#include "session/half_link_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/error_text.h"
#include "session/session_signals_posix.h"
#include "session/session_waits.h"

namespace varnick::control {

// Relays the half's standard error on a thread of its own, so that neither
// sudo nor the half ever waits for this process to read it, and keeps the
// start of it for the messages.
class HalfErrors {
 public:
  void add(const char* bytes, std::size_t size) {
    std::lock_guard<std::mutex> hold(lock_);
    text_.append(bytes, std::min(size, kKeptBytes - std::min(kKeptBytes, text_.size())));
  }
  // The relay saw the end of the half's standard error.
  void finish() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      finished_ = true;
    }
    ended_.notify_all();
  }
  // What was written, once the writer has closed its end (sudo writes its
  // refusal in more than one piece) or after `wait` at the most.
  std::string text(std::chrono::milliseconds wait) const {
    std::unique_lock<std::mutex> hold(lock_);
    ended_.wait_for(hold, wait, [this] { return finished_; });
    return text_;
  }

 private:
  static constexpr std::size_t kKeptBytes = 4096;
  mutable std::mutex lock_;
  mutable std::condition_variable ended_;
  std::string text_;
  bool finished_ = false;
};

namespace {

// How long a half whose connection was closed before it served gets to end
// by itself: it puts right what it was putting right, then finds the end.
constexpr int kEndGraceSeconds = 5;

void relay(int fd, const std::shared_ptr<HalfErrors>& errors) {
  char bytes[1024];
  for (;;) {
    const ssize_t got = ::read(fd, bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    errors->add(bytes, static_cast<std::size_t>(got));
    for (ssize_t written = 0; written < got;) {
      const ssize_t result = ::write(STDERR_FILENO, bytes + written, got - written);
      if (result <= 0) break;
      written += result;
    }
  }
  ::close(fd);
  errors->finish();
}

bool sendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t result = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    sent += static_cast<std::size_t>(result);
  }
  return true;
}

int remainingMs(const PatientWait& wait, std::uint64_t maxSliceMs) {
  return static_cast<int>(wait.sliceMs(nowMs(), maxSliceMs));
}

}  // namespace

HalfLink::HalfLink() : errors_(std::make_shared<HalfErrors>()) {}

HalfLink::~HalfLink() = default;

void HalfLink::note(const std::string& text) {
  if (reporter_) reporter_(text);
}

Expected<void, HalfStartFailure> HalfLink::start(const std::string& program, HalfStart how,
                                                 bool clean) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    const int error = errno;
    return unexpected(HalfStartFailure{
        withCode("could not make the socket pair for the privileged half", error), error});
  }
  socket_.reset(pair[0]);
  UniqueFd theirs(pair[1]);
  // Every read then names the sender's user: the half must be root's.
  const int on = 1;
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    const int error = errno;
    return unexpected(HalfStartFailure{
        withCode("could not ask for the privileged half's credentials", error), error});
  }
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    const int error = errno;
    return unexpected(HalfStartFailure{
        withCode("could not make a pipe for the privileged half's messages", error), error});
  }
  UniqueFd errorRead(errorPipe[0]);
  UniqueFd errorWrite(errorPipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errorWrite.get(), STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE})
    sigaddset(&signals, signal);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  // A half started directly keeps out of the terminal's way in a group of
  // its own; sudo stays in the foreground, where it may ask for a password.
  if (how == HalfStart::kDirect) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<std::string> words;
  if (how != HalfStart::kDirect) words.emplace_back("sudo");
  if (how == HalfStart::kSudoNoPrompt) words.emplace_back("-n");
  words.push_back(program);
  words.emplace_back("--privileged-half");
  if (clean) words.emplace_back("--clean");
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  const int error =
      how == HalfStart::kDirect
          ? ::posix_spawn(&child_, program.c_str(), &actions, &attributes, argv.data(), environ)
          : ::posix_spawnp(&child_, "sudo", &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    child_ = -1;
    return unexpected(HalfStartFailure{
        withCode("could not start " + words.front(), static_cast<unsigned long>(error)), error});
  }
  std::thread(relay, errorRead.release(), errors_).detach();
  return {};
}

// NOLINTNEXTLINE(readability-non-const-parameter): recvmsg writes through the iovec
long HalfLink::receiveFromRoot(char* bytes, std::size_t size) {
  iovec piece{bytes, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr message{};
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = ::recvmsg(socket_.get(), &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return got;
  bool fromRoot = false;
  for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
       part = CMSG_NXTHDR(&message, part)) {
    if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_CREDENTIALS) continue;
    ucred sender{};
    std::memcpy(&sender, CMSG_DATA(part), sizeof sender);
    senderUid_ = sender.uid;
    fromRoot = sender.uid == 0;
  }
  if (!fromRoot) {
    senderNotRoot_ = true;
    return -1;
  }
  return got;
}

Expected<Report, NotServing> HalfLink::awaitStartReport(int timeoutSeconds) {
  using Why = NotServing::Why;
  PatientWait wait(nowMs(), static_cast<std::uint64_t>(timeoutSeconds) * 1000);
  std::string received;
  std::size_t needed = kLengthFieldSize;
  for (;;) {
    if (endingSignal() != 0) {
      return unexpected(NotServing{Why::kInterrupted,
                                   "interrupted while waiting for the privileged half to start"});
    }
    if (wait.expired(nowMs())) {
      return unexpected(NotServing{Why::kTimedOut, "the privileged half did not start within " +
                                                       std::to_string(timeoutSeconds) +
                                                       " seconds"});
    }
    if (!waitReadable(socket_.get(), remainingMs(wait, kWaitNoticeMs))) continue;
    const std::size_t had = received.size();
    received.resize(needed);
    const long got = receiveFromRoot(received.data() + had, needed - had);
    if (got <= 0) {
      received.resize(had);
      if (senderNotRoot_) {
        return unexpected(
            NotServing{Why::kNotRoot, "the privileged half does not run as root (it runs as uid " +
                                          std::to_string(senderUid_) + ")"});
      }
      return unexpected(
          NotServing{Why::kEnded, "the privileged half ended before it started serving"});
    }
    received.resize(had + static_cast<std::size_t>(got));
    if (received.size() < needed) continue;
    FrameTaken<Report> taken = takeReport(received, kMaxReportBytes);
    switch (taken.read) {
      case FrameRead::kWhole:
        return std::move(taken.content);
      case FrameRead::kNeedMore:
        needed = taken.used;
        continue;
      case FrameRead::kMalformed:
        return unexpected(NotServing{Why::kEnded, "the privileged half sent what is no report"});
    }
  }
}

bool HalfLink::awaitReadable(const char* waitingFor, int timeoutSeconds) {
  PatientWait wait(nowMs(), static_cast<std::uint64_t>(timeoutSeconds) * 1000);
  for (;;) {
    const std::uint64_t now = nowMs();
    if (wait.expired(now)) return false;
    if (wait.noticeDue(now)) note(std::string("waiting for the privileged half to ") + waitingFor);
    if (waitReadable(socket_.get(), remainingMs(wait, kWaitNoticeMs))) return true;
  }
}

bool HalfLink::receiveExactly(char* bytes, std::size_t size, const char* waitingFor,
                              int timeoutSeconds) {
  for (std::size_t got = 0; got < size;) {
    if (!connected() || !awaitReadable(waitingFor, timeoutSeconds)) return false;
    const long received = receiveFromRoot(bytes + got, size - got);
    if (received <= 0) return false;
    got += static_cast<std::size_t>(received);
  }
  return true;
}

Expected<Reply, std::string> HalfLink::request(const std::string& frame, const char* waitingFor) {
  if (!connected() || !sendAll(socket_.get(), frame))
    return unexpected(std::string("lost the connection to the privileged half"));
  if (!awaitReadable(waitingFor, kReplyWaitSeconds)) {
    // A reply that came later would be read as the answer to the next
    // request: this connection is done with.
    socket_.reset();
    return unexpected("the privileged half did not reply within " +
                      std::to_string(kReplyWaitSeconds) +
                      " seconds; the connection to it is closed");
  }
  char byte = 0;
  if (receiveFromRoot(&byte, 1) != 1)
    return unexpected(std::string("the privileged half did not reply: the connection ended"));
  std::optional<Reply> reply = decodeReply(static_cast<std::uint8_t>(byte));
  if (!reply)
    return unexpected("the privileged half sent an unknown reply byte " +
                      std::to_string(static_cast<unsigned char>(byte)));
  return *reply;
}

Expected<Reply, std::string> HalfLink::add(const std::string& entryBytes) {
  std::optional<std::string> frame = addRequest(entryBytes);
  if (!frame) return unexpected(std::string("the entry is too long for one request"));
  return request(*frame, "write the entry; another session may be changing the hosts file");
}

Expected<Reply, std::string> HalfLink::shutdown() {
  return request(shutdownRequest(), "answer the shutdown");
}

Expected<Report, std::string> HalfLink::readReport(const char* waitingFor, int timeoutSeconds) {
  std::optional<Report> report =
      readReportFrame([this, waitingFor, timeoutSeconds](char* bytes, std::size_t size) {
        return receiveExactly(bytes, size, waitingFor, timeoutSeconds);
      });
  if (report) return *report;
  return unexpected(std::string("the privileged half did not send its report whole; see its log"));
}

void HalfLink::disconnect() { socket_.reset(); }

bool HalfLink::halfEnded() {
  if (exitStatus_) return true;
  if (child_ < 0) return true;
  exitStatus_ = reapIfEnded(child_);
  return exitStatus_.has_value();
}

std::optional<int> HalfLink::waitForExit(int timeoutSeconds, const char* waitingFor) {
  PatientWait wait(nowMs(), static_cast<std::uint64_t>(timeoutSeconds) * 1000);
  while (!halfEnded()) {
    const std::uint64_t now = nowMs();
    if (wait.expired(now)) return std::nullopt;
    if (waitingFor != nullptr && wait.noticeDue(now))
      note(std::string("waiting for the privileged half to ") + waitingFor);
    // SIGCHLD wakes the wait.
    (void)waitReadable(-1, remainingMs(wait, kWaitNoticeMs));
  }
  if (child_ < 0) return std::nullopt;
  return shellExitCode(*exitStatus_);
}

void HalfLink::endHalf() {
  disconnect();
  if (child_ < 0 || waitForExit(kEndGraceSeconds, nullptr)) return;
  // Still putting right another session, or sudo still asking: what is
  // left of its work, the next session's half puts right.
  ::kill(child_, SIGKILL);
  (void)waitForExit(kEndGraceSeconds, nullptr);
}

std::string HalfLink::errorsWritten() const {
  return errors_->text(std::chrono::milliseconds(1000));
}

}  // namespace varnick::control
