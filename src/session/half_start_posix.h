// Starting the Linux session's privileged half, for a session or a
// recovery: directly when this process is root; otherwise through sudo,
// once nobody but root could have changed this program; and what to say
// when it did not start serving.
#pragma once

#include <string>

#include "hosts/hosts_places_posix.h"
#include "session/half_link_posix.h"
#include "session/session_driver.h"
#include "session/session_options.h"

namespace varnick::control {

// The hosts file, and where the half keeps its journals, locks and log:
// the system's, which a root process takes from nobody's environment.
const HalfPlaces& halfPlaces();

// How the half was started, for what is said when it did not serve.
struct HalfStarted {
  HalfStart how = HalfStart::kDirect;
  std::string program;  // this program, every link resolved
  bool clean = false;   // started as `--privileged-half --clean`
};

// Starts the half as `options` ask and this process allows. sudo goes
// without a prompt (-n) with --no-consent or when standard input is no
// terminal, so that a script fails at once rather than wait for a password
// nobody types. With --clean, the half cleans and exits instead of serving.
// False, reported, when it did not start.
[[nodiscard]] bool startTrustedHalf(HalfLink& link, const SessionOptions& options,
                                    HalfStarted& started);

// How long to wait for the half's first report: the time given, and the
// bound of each interrupted session it may put right first.
int startWaitSeconds(const SessionOptions& options);

// Says why the half did not start serving (as awaitStartReport answered), ends it, and gives the
// session's exit code. An interruption's message is the caller's.
int explainNoStart(HalfLink& link, const NotServing& notServing, const HalfStarted& started);

// Starts the half as startTrustedHalf does and reads its report of the
// interrupted sessions it put right, said as the session says Varnick's
// reports; the exit code, said, when the session cannot go on.
[[nodiscard]] SessionStep startServingHalf(HalfLink& link, HalfStarted& started,
                                           const SessionOptions& options,
                                           const EventStream& events);

// Says that the entries may still be in the hosts file, and how to take
// them out.
void adviseRecovery();

}  // namespace varnick::control
