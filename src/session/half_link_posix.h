// The Linux session's privileged half: started as root (directly when this
// process is root, else through sudo), spoken to over one end of a socket
// pair with the controller's wire format (docs/protocol.md), and waited for.
// The half gets the other end as its standard input and output, and no
// port is listened on: nobody but the half can reach the session.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/expected.h"
#include "base/unique_fd_posix.h"
#include "link/session_report.h"
#include "link/wire_format.h"

namespace varnick::control {

// How the half is started: as a child of this root process, or through
// sudo, which may ask for a password on the terminal, or must not (-n).
enum class HalfStart { kDirect, kSudo, kSudoNoPrompt };

// What the half wrote on its standard error, and sudo before it: relayed to
// this process's standard error as it comes, and kept for the messages.
class HalfErrors;

// Why the half could not be started at all, and the errno.
struct HalfStartFailure {
  std::string message;
  int code = 0;
};

// Why the half did not start serving, and what is said of it.
struct NotServing {
  enum class Why { kTimedOut, kEnded, kInterrupted, kNotRoot };
  Why why = Why::kEnded;
  std::string message;
};

class HalfLink {
 public:
  HalfLink();
  ~HalfLink();
  HalfLink(const HalfLink&) = delete;
  HalfLink& operator=(const HalfLink&) = delete;

  // Where notes that are not failures go as they happen (a long wait).
  void setReporter(std::function<void(const std::string&)> reporter) {
    reporter_ = std::move(reporter);
  }

  // Starts `program --privileged-half` (with `--clean` when `clean`) as
  // `how` says; why not, with the errno, when it could not start at all.
  [[nodiscard]] Expected<void, HalfStartFailure> start(const std::string& program, HalfStart how,
                                                       bool clean = false);

  // Waits up to `timeoutSeconds` for the report of the interrupted sessions
  // the half put right before it serves, or until an ending signal. The
  // report's bytes must come from a root process: kNotRoot otherwise.
  [[nodiscard]] Expected<Report, NotServing> awaitStartReport(int timeoutSeconds);

  // One request each; the reply, or why none came: the connection failed,
  // or the reply did not come within kReplyWaitSeconds (which closes the
  // connection, so that no later request can get it).
  [[nodiscard]] Expected<Reply, std::string> add(const std::string& entryBytes);
  [[nodiscard]] Expected<Reply, std::string> shutdown();

  // Reads the report frame the half sends after its take-out, each piece
  // within `timeoutSeconds`; why not.
  [[nodiscard]] Expected<Report, std::string> readReport(const char* waitingFor,
                                                         int timeoutSeconds);

  bool connected() const { return static_cast<bool>(socket_); }
  // Closes the connection: the half takes the lines out and ends.
  void disconnect();

  // Waits up to `timeoutSeconds` for the half (or sudo) to end, saying after
  // a while "waiting for the privileged half to <waitingFor>"; its exit code
  // as a shell gives it, or nothing while it still runs.
  std::optional<int> waitForExit(int timeoutSeconds, const char* waitingFor);

  // Ends a half that never reported: closes the connection, at whose end it
  // stops of itself, and waits a few seconds for it.
  void endHalf();

  // Whether the half has ended (it is reaped then); for the watch while the
  // command runs.
  bool halfEnded();
  // Readable when the half closes its end or sends what was not asked for.
  int socketFd() const { return socket_.get(); }

  // What sudo and the half wrote on standard error: all of it once they
  // have closed it, waiting up to a second for that.
  std::string errorsWritten() const;

 private:
  bool awaitReadable(const char* waitingFor, int timeoutSeconds);
  // Receives up to `size` bytes, checking that a root process sent them.
  // 0 at the end of the connection, -1 on a failure.
  long receiveFromRoot(char* bytes, std::size_t size);
  bool receiveExactly(char* bytes, std::size_t size, const char* waitingFor, int timeoutSeconds);
  Expected<Reply, std::string> request(const std::string& frame, const char* waitingFor);
  void note(const std::string& text);

  UniqueFd socket_;
  pid_t child_ = -1;
  std::optional<int> exitStatus_;
  bool senderNotRoot_ = false;
  std::uint32_t senderUid_ = 0;
  std::shared_ptr<HalfErrors> errors_;
  std::function<void(const std::string&)> reporter_;
};

}  // namespace varnick::control
