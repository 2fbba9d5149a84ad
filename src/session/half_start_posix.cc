#include "session/half_start_posix.h"

#include "session/varnick_report.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error_text.h"
#include "hosts/hosts_store_posix.h"
#include "hosts/journal_file.h"
#include "session/session_exit_codes.h"
#include "session/session_output.h"
#include "session/session_signals_posix.h"
#include "session/session_waits.h"
#include "trust/program_trust_posix.h"

namespace varnick::control {
namespace {

// How many sessions' journals lie beside the hosts file: a half about to
// start puts right each that no running half holds. 0 when they cannot be
// listed (the half then says why).
int journalsBesideHostsFile() {
  StoreResult<std::vector<std::string>> journals =
      findSessionJournals(*makePosixHostsStore(halfPlaces().hosts));
  return journals ? static_cast<int>(journals->size()) : 0;
}

std::string invokingUser() {
  const passwd* user = ::getpwuid(::getuid());
  return user ? std::string(user->pw_name) : "#" + std::to_string(::getuid());
}

// Refuses, with the ways out, to have sudo run a program that someone
// besides root could have changed: it would run as root whatever they put
// in its place. False when it may not run.
bool programIsTrusted(const SessionOptions& options, std::string& program) {
  ProgramTrust trust = checkThisProgram();
  program = trust.path;
  if (trust.error != 0) {
    report(withCode("could not tell who may change " +
                        (trust.changeable.empty() ? std::string("this program") : trust.changeable),
                    static_cast<unsigned long>(trust.error)));
    return false;
  }
  if (trust.changer.empty()) return true;
  if (options.trustVarnickFolder) {
    notice("trusting " + trust.changeable + " although " + trust.changer +
           " may change it: whatever a program running as them put there now runs as root");
    return true;
  }
  report("varnick-untrusted-folder",
         trust.changer + " may change " + trust.changeable +
             ", so a program running as them could have put its own code there to run as "
             "root; varnick-session runs itself as root only from where nobody but root can "
             "change it");
  remedy(
      "install it as root, where only root may change it: sudo npm install --global "
      "varnick-session, or unpack the release under /usr/local or /opt as root");
  remedy("or, accepting that risk, add --trust-varnick-folder");
  return false;
}

// What sudo said when it would not run the half, or nothing when it did
// run it (or was no part of it).
std::string sudoRefusal(HalfLink& link, const HalfStarted& started, int exitCode) {
  if (started.how == HalfStart::kDirect || exitCode != 1) return {};
  std::string said = link.errorsWritten();
  if (said.rfind("sudo:", 0) != 0) return {};
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r'))
    said.pop_back();
  return said;
}

}  // namespace

const HalfPlaces& halfPlaces() {
  static const HalfPlaces kPlaces;
  return kPlaces;
}

bool startTrustedHalf(HalfLink& link, const SessionOptions& options, HalfStarted& started) {
  link.setReporter(notice);
  if (::geteuid() == 0) {
    // Already root: no sudo, and nothing that another user could have put
    // in place of this program runs with more rights than it has already.
    started.how = HalfStart::kDirect;
    started.program = "/proc/self/exe";
  } else {
    if (!programIsTrusted(options, started.program)) return false;
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    started.how = options.noConsent || !terminal ? HalfStart::kSudoNoPrompt : HalfStart::kSudo;
  }
  started.clean = options.clean;
  Expected<void, HalfStartFailure> begun = link.start(started.program, started.how, started.clean);
  if (begun) return true;
  if (started.how != HalfStart::kDirect && begun.error().code == ENOENT) {
    report("sudo-missing", "sudo is not installed, and this program does not run as root");
    remedy("install sudo (as root: apt-get install sudo), or run varnick-session as root");
    return false;
  }
  report(begun.error().message);
  return false;
}

int startWaitSeconds(const SessionOptions& options) {
  return options.connectTimeoutSeconds + journalsBesideHostsFile() * kVarnickJournalBoundSeconds;
}

int explainNoStart(HalfLink& link, const NotServing& notServing, const HalfStarted& started) {
  switch (notServing.why) {
    case NotServing::Why::kInterrupted:
      break;
    case NotServing::Why::kTimedOut:
      report(notServing.message);
      link.endHalf();
      return kSessionNoConnection;
    case NotServing::Why::kNotRoot:
      report(notServing.message + "; is the sudo found along PATH the system's?");
      link.endHalf();
      return kSessionNoVarnick;
    case NotServing::Why::kEnded: {
      link.disconnect();
      const std::optional<int> code = link.waitForExit(kExitWaitSeconds, "end");
      const std::string command =
          started.program + " --privileged-half" + (started.clean ? " --clean" : "");
      const std::string refusal = sudoRefusal(link, started, code.value_or(0));
      if (!refusal.empty() && started.how == HalfStart::kSudoNoPrompt) {
        const std::string rule = invokingUser() + " ALL=(root) NOPASSWD: " + command;
        report("sudo-refused", "sudo needs a password or a rule for " + invokingUser() +
                                   " to run " + command + " (" + refusal +
                                   "): run it with a terminal, or add a sudoers rule: " + rule);
        remedy(
            "run varnick-session from a terminal, without --no-consent: sudo then asks for "
            "the password");
        remedy("or, as root, add the rule with visudo -f /etc/sudoers.d/varnick-session: " + rule);
        return kSessionNoVarnick;
      }
      if (!refusal.empty()) {
        report("sudo-refused", "sudo did not run " + command + " (" + refusal + ")");
        return kSessionNoVarnick;
      }
      report(notServing.message + (code ? " (exit code " + std::to_string(*code) + ")" : "") +
             "; see " + halfPlaces().logFile);
      return kSessionNoConnection;
    }
  }
  link.endHalf();
  return exitCodeForSignal(endingSignal());
}

void adviseRecovery() {
  report("the entries may still be in the hosts file " + halfPlaces().hosts.hostsFile +
         "; to take them out, run: varnick-session --recover (the next session does it too)");
}

// Starts the half and reads its report of the interrupted sessions it put
// right; the exit code when the session cannot go on.
SessionStep startServingHalf(HalfLink& link, HalfStarted& started, const SessionOptions& options,
                             const EventStream& events) {
  if (!startTrustedHalf(link, options, started)) return unexpected(kSessionNoVarnick);
  Expected<Report, NotServing> recovery = link.awaitStartReport(startWaitSeconds(options));
  if (recovery) {
    sayWhatVarnickReported(*recovery, events);
    return {};
  }
  // Nothing is in the hosts file yet: the command never starts.
  if (recovery.error().why == NotServing::Why::kInterrupted)
    report("interrupted before the entries were added; the command was not run");
  return unexpected(explainNoStart(link, recovery.error(), started));
}

}  // namespace varnick::control
