// The one flow of a session once its way in is open, the same on every
// platform and through every way in: the entries added, --json's ready
// event, the command run or the entries held, the end, and how the exit
// code is chosen. What only a platform can do stands behind SessionHost;
// each way in (the elevated Varnick, the Varnick service, the Linux half)
// behind SessionTransport.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "session/session_entries.h"
#include "session/session_exit_codes.h"
#include "session/session_output.h"

namespace varnick::control {

// A part of the session done, and the session goes on; or the exit code
// that ends it, said already.
using SessionStep = Expected<void, int>;

// One way a session's entries get into the hosts file and out again, open.
class SessionTransport {
 public:
  virtual ~SessionTransport() = default;
  // How --json's ready event names the way: "consent", "service", "root" or "sudo".
  virtual std::string route() const = 0;
  // Whether every entry went in when it was opened (the service takes all
  // or none), so that the flow adds none.
  virtual bool addedWhenOpened() const { return false; }
  // Before the first add and after the last, for what a way in keeps or
  // says of the hosts file around the session (a server's restore).
  virtual void beforeAdds() {}
  virtual void beforeEnd() {}
  // Adds one entry: a refusal or a broken connection is said, with its
  // session code.
  virtual SessionStep add(const SessionEntry& entry) = 0;
  // Takes the entries out (or restores the hosts file) and says what was
  // done: the session code unless it was done.
  virtual SessionStep end() = 0;
};

// How a command ended: its own exit code, or a session code of the
// session's own (it could not start, or the session was interrupted).
struct CommandEnd {
  int code = 0;
  bool commandsOwn = false;
};

// What only a platform does while a session runs.
class SessionHost {
 public:
  virtual ~SessionHost() = default;
  // The exit code of the interruption the session was asked to end by
  // (Ctrl+C, a signal); nothing while there is none.
  virtual std::optional<int> interruption() const = 0;
  // Feeds the hosts file to `feed` in pieces; nothing when it cannot be
  // read, which the privileged side reports.
  virtual void readHostsFile(const std::function<void(std::string_view)>& feed) const = 0;
  // Runs the command and waits for it, or for an interruption.
  virtual CommandEnd runCommand() = 0;
  // Holds the entries until Enter, the end of the input (without a time),
  // `holdSeconds` or an interruption: 0 or the interruption's code.
  virtual int holdUntilEnter(std::optional<int> holdSeconds) = 0;
  // After the end, whether an interruption that ended the command comes
  // late (a console event reaches every process on the console at about
  // the same moment, the command's own end sometimes first).
  virtual bool interruptedLate() { return false; }
};

// What the flow needs to know of the session.
struct SessionPlan {
  const std::vector<SessionEntry>& entries;
  std::string hostsFileShown;      // the hosts file, as the ready event names it
  bool runsCommand = false;        // else it holds the entries
  std::optional<int> holdSeconds;  // --for
};

// Runs the session through the open `transport`: adds the entries (said
// once when the hosts file holds one already), writes the ready event,
// runs the command or holds, and ends. Unless the end is done, the hosts
// file may still hold the entries: that outweighs the command's code and
// any other failure, unless no entry was ever written.
[[nodiscard]] SessionOutcome driveSession(SessionTransport& transport, SessionHost& host,
                                          const SessionPlan& plan, const EventStream& events);

// Says of each entry whose line the hosts file holds already that it is
// added again: the session's copy comes and goes with it, and the other stays.
void warnAboutLinesAlreadyThere(const SessionHost& host, const std::vector<SessionEntry>& entries);

}  // namespace varnick::control
