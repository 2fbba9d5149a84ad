#include "session/session_help.h"

#include <vector>

#include "session/session_exit_codes.h"
#include "session/session_waits.h"

namespace varnick::control {
namespace {

const char kWindowsUsage[] =
    "Usage: varnick-session [OPTIONS] (--add ENTRY | --hosts-file PATH) ...\n"
    "                       [--for DURATION | -- COMMAND [ARG ...]]\n"
    "       varnick-session (--recover | --clean) [--varnick PATH] [--timeout SECS]\n"
    "                       [--trust-varnick-folder] [--json]\n"
    "       varnick-session --status | --help | --version\n";

const char kLinuxUsage[] =
    "Usage: varnick-session [OPTIONS] (--add ENTRY | --hosts-file PATH) ...\n"
    "                       [--for DURATION | -- COMMAND [ARG ...]]\n"
    "       varnick-session (--recover | --clean) [--timeout SECS]\n"
    "                       [--trust-varnick-folder] [--json]\n"
    "       varnick-session --status | --help | --version\n";

const char kWindowsAbout[] =
    "Keeps entries in the hosts file for as long as a command runs: starts\n"
    "varnick.exe elevated (asking for consent when this prompt is not), adds the\n"
    "entries, runs the command, and has Varnick take them out again however the\n"
    "command ends, leaving every other change. Sessions run side by side. Without\n"
    "a command the entries stay until Enter, Ctrl+C or the end of standard input,\n"
    "or for the time that --for gives. The command is found as the shell finds it\n"
    "(PATH and PATHEXT), and a .cmd or .bat file runs through cmd.exe.\n";

const char kLinuxAbout[] =
    "Keeps entries in /etc/hosts for as long as a command runs: starts its own\n"
    "privileged half as root (through sudo unless it runs as root), adds the\n"
    "entries, runs the command, and has the half take them out again however the\n"
    "command ends, leaving every other change. Sessions run side by side. Without\n"
    "a command the entries stay until Enter, Ctrl+C or the end of standard input,\n"
    "or for the time that --for gives. The command is found along PATH, as the\n"
    "shell finds it, and runs in a process group of its own.\n";

enum class Where { kBoth, kWindows, kLinux };

struct OptionLines {
  Where where;
  std::string text;  // whole lines, each ending in LF
};

bool shownOn(Where where, Platform platform) {
  return where == Where::kBoth || (where == Where::kWindows) == (platform == Platform::kWindows);
}

// Every option's lines, in the order --help lists them; an option whose
// meaning differs has a line for each platform.
std::vector<OptionLines> optionLines() {
  const std::string journalSeconds = std::to_string(kVarnickJournalBoundSeconds);
  const std::string connectSeconds = std::to_string(kDefaultConnectWaitSeconds);
  return {
      {Where::kBoth,
       "  --add ENTRY         an entry to add (one hosts file line); may be repeated\n"
       "  --hosts-file PATH   entries from a UTF-8 file, one a line, # for comments;\n"
       "                      may be repeated and mixed with --add, in the order given\n"
       "  --for DURATION      without a command: remove the entries after 90s, 30m, 2h\n"
       "                      (a bare number is seconds; up to 7 days), or sooner on\n"
       "                      Enter or Ctrl+C (default: until Enter, Ctrl+C or the end\n"
       "                      of standard input)\n"},
      {Where::kWindows,
       "  --utf8              send the entries as UTF-8 (default: the OEM code page; an\n"
       "                      entry that it cannot hold exactly is refused)\n"},
      {Where::kLinux,
       "  --utf8              accepted for scripts that run on Windows too: entries are\n"
       "                      UTF-8 here anyway\n"},
      {Where::kBoth,
       "  --raw               send the entries as they are (default: each must read as\n"
       "                      an IPv4 or IPv6 address, then 1 to 9 host names, then\n"
       "                      an optional # comment)\n"
       "  --json              write events for programs on standard output, one JSON\n"
       "                      object a line: ready, recovered, error, ended (default:\n"
       "                      messages for people on standard error only)\n"},
      {Where::kWindows,
       "  --no-consent        never ask for consent: the entries go through the Varnick\n"
       "                      service or not at all (default: through the service when\n"
       "                      it runs and allows them all, else through consent)\n"
       "  --backup PATH       where Varnick keeps its backup of the hosts file, left in\n"
       "                      place, with no journal (default: Varnick names one beside\n"
       "                      the hosts file, keeps a journal, and removes both)\n"
       "  --port N            the port to listen on (default 0: the system picks one)\n"
       "  --varnick PATH      the Varnick to start (default: varnick.exe beside\n"
       "                      varnick-session.exe)\n"
       "  --trust-varnick-folder\n"
       "                      start varnick.exe elevated even though users or programs\n"
       "                      other than administrators may change it or its folder\n"
       "                      (default: refuse: a program of theirs could have put its\n"
       "                      own code there to run with administrator rights)\n"
       "  --timeout SECONDS   how long to wait for Varnick to connect, which it does\n"
       "                      once a varnick server has ended (default " +
           connectSeconds +
           "), and\n"
           "                      " +
           journalSeconds + " s more for each interrupted session put right first\n"},
      {Where::kLinux,
       "  --no-consent        never let sudo ask for a password (sudo -n): the entries\n"
       "                      go in only where a sudoers rule lets this program run as\n"
       "                      root (default: sudo -n without a terminal, else sudo)\n"
       "  --trust-varnick-folder\n"
       "                      run this program as root even though users other than\n"
       "                      root may change it or a folder above it (default: refuse:\n"
       "                      a program of theirs could have put its own code there to\n"
       "                      run as root)\n"
       "  --timeout SECONDS   how long to wait for the privileged half to start, sudo's\n"
       "                      password prompt included (default " +
           connectSeconds + "), and " + journalSeconds +
           " s\n"
           "                      more for each interrupted session put right first\n"},
      {Where::kBoth,
       "  --recover           no session: take out what interrupted sessions left, and\n"
       "                      say what was taken out\n"},
      {Where::kWindows,
       "  --clean             no session: recover, then remove what Varnick made on\n"
       "                      this machine (the lock files beside the hosts file when\n"
       "                      no Varnick holds them, and %LOCALAPPDATA%\\Varnick), and\n"
       "                      say what was removed and what was left\n"
       "  --status            say what runs and what sessions and varnick del left\n"
       "                      behind, with --json as one JSON object; changes nothing\n"},
      {Where::kLinux,
       "  --clean             no session: recover, then remove the lock files in\n"
       "                      /run/varnick that no running session holds, and, when\n"
       "                      no session runs, /var/log/varnick.log and its copies;\n"
       "                      say what was removed and what was left\n"
       "  --status            say what runs and what interrupted sessions left beside\n"
       "                      /etc/hosts, with --json as one JSON object; changes\n"
       "                      nothing\n"},
      {Where::kBoth,
       "  --help, -h, /?      this text\n"
       "  --version           the version\n"},
  };
}

const char* meaningOn(const SessionExitCode& exit, Platform platform) {
  if (platform == Platform::kLinux && exit.linuxMeaning != nullptr) return exit.linuxMeaning;
  return exit.meaning;
}

}  // namespace

const char* sessionUsageText(Platform platform) {
  return platform == Platform::kWindows ? kWindowsUsage : kLinuxUsage;
}

std::string sessionExitMeaning(int code, Platform platform) {
  for (const SessionExitCode& exit : kSessionExitCodes) {
    const char* meaning = meaningOn(exit, platform);
    if (exit.code == code && meaning != nullptr) return meaning;
  }
  return "exit code " + std::to_string(code);
}

std::string sessionExitReason(int code) {
  for (const SessionExitCode& exit : kSessionExitCodes) {
    if (exit.code == code) return exit.reason;
  }
  return "failed";
}

std::string sessionHelpText(Platform platform) {
  const bool windows = platform == Platform::kWindows;
  std::string text = sessionUsageText(platform);
  text += "\n";
  text += windows ? kWindowsAbout : kLinuxAbout;
  text += "\nOptions:\n";
  for (const OptionLines& option : optionLines()) {
    if (shownOn(option.where, platform)) text += option.text;
  }
  text += windows ? "\n"
                    "Exit codes: the command's own, or 0 when the entries were held until Enter\n"
                    "or for the time given; or:\n"
                  : "\n"
                    "Exit codes: the command's own (128 and the signal's number when a signal\n"
                    "ended it), or 0 when the entries were held until Enter or for the time\n"
                    "given; or:\n";
  for (const SessionExitCode& exit : kSessionExitCodes) {
    if (const char* meaning = meaningOn(exit, platform))
      text += "  " + std::to_string(exit.code) + "  " + meaning + "\n";
  }
  text += "After " + std::to_string(kSessionVarnickFailed) + " or " +
          std::to_string(kSessionConnectionLost) +
          " the entries may still be in the hosts file: run\n"
          "varnick-session --recover. docs/session.md says more.\n"
          "\n"
          "Examples:\n"
          "  varnick-session --add \"127.0.0.1 api.myapp.test\" -- npm run dev\n"
          "  varnick-session --hosts-file dev.hosts -- npm run dev\n";
  return text;
}

}  // namespace varnick::control
