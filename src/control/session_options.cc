#include "control/session_options.h"

#include <string_view>

#include "base/wide_text.h"
#include "control/session_exit_codes.h"

namespace varnick::control {

const char kSessionUsageText[] =
    "Usage: varnick-session [OPTIONS] (--add ENTRY | --hosts-file PATH) ...\n"
    "                       [--for DURATION | -- COMMAND [ARG ...]]\n"
    "       varnick-session (--recover | --clean) [--varnick PATH] [--timeout SECS]\n"
    "                       [--trust-varnick-folder] [--json]\n"
    "       varnick-session --status | --help | --version\n";

std::string sessionExitMeaning(int code) {
  for (const SessionExitCode& exit : kSessionExitCodes) {
    if (exit.code == code) return exit.meaning;
  }
  return "exit code " + std::to_string(code);
}

std::string sessionExitReason(int code) {
  for (const SessionExitCode& exit : kSessionExitCodes) {
    if (exit.code == code) return exit.reason;
  }
  return "failed";
}

std::string sessionHelpText() {
  std::string text = kSessionUsageText;
  text +=
      "\n"
      "Keeps entries in the hosts file for as long as a command runs: starts\n"
      "varnick.exe elevated (asking for consent when this prompt is not), adds the\n"
      "entries, runs the command, and has Varnick take them out again however the\n"
      "command ends, leaving every other change. Sessions run side by side. Without\n"
      "a command the entries stay until Enter, Ctrl+C or the end of standard input,\n"
      "or for the time that --for gives. The command is found as the shell finds it\n"
      "(PATH and PATHEXT), and a .cmd or .bat file runs through cmd.exe.\n"
      "\n"
      "Options:\n"
      "  --add ENTRY         an entry to add (one hosts file line); may be repeated\n"
      "  --hosts-file PATH   entries from a UTF-8 file, one a line, # for comments;\n"
      "                      may be repeated and mixed with --add, in the order given\n"
      "  --for DURATION      without a command: remove the entries after 90s, 30m, 2h\n"
      "                      (a bare number is seconds; up to 7 days), or sooner on\n"
      "                      Enter or Ctrl+C (default: until Enter, Ctrl+C or the end\n"
      "                      of standard input)\n"
      "  --utf8              send the entries as UTF-8 (default: the OEM code page; an\n"
      "                      entry that it cannot hold exactly is refused)\n"
      "  --raw               send the entries as they are (default: each must read as\n"
      "                      an IPv4 or IPv6 address, then 1 to 9 host names, then\n"
      "                      an optional # comment)\n"
      "  --json              write events for programs on standard output, one JSON\n"
      "                      object a line: ready, recovered, error, ended (default:\n"
      "                      messages for people on standard error only)\n"
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
      std::to_string(kDefaultConnectWaitSeconds) +
      "), and\n"
      "                      " +
      std::to_string(kVarnickJournalBoundSeconds) +
      " s more for each interrupted session put right first\n"
      "  --recover           no session: take out what interrupted sessions left, and\n"
      "                      say what was taken out\n"
      "  --clean             no session: recover, then remove what Varnick made on\n"
      "                      this machine (the lock files beside the hosts file when\n"
      "                      no Varnick holds them, and %LOCALAPPDATA%\\Varnick), and\n"
      "                      say what was removed and what was left\n"
      "  --status            say what runs and what sessions and varnick del left\n"
      "                      behind; changes nothing\n"
      "  --help, -h, /?      this text\n"
      "  --version           the version\n"
      "\n"
      "Exit codes: the command's own, or 0 when the entries were held until Enter\n"
      "or for the time given; or:\n";
  for (const SessionExitCode& exit : kSessionExitCodes)
    text += "  " + std::to_string(exit.code) + "  " + exit.meaning + "\n";
  text += "After " + std::to_string(kSessionVarnickFailed) + " or " +
          std::to_string(kSessionConnectionLost) +
          " the entries may still be in the hosts file: run\n"
          "varnick-session --recover. README.md says more under \"What it is for\".\n"
          "\n"
          "Examples:\n"
          "  varnick-session --add \"127.0.0.1 api.myapp.test\" -- npm run dev\n"
          "  varnick-session --hosts-file dev.hosts -- npm run dev\n";
  return text;
}

namespace {

// Reads a whole decimal number in [0, limit]; nothing for anything else.
std::optional<long> readNumber(const std::wstring& text, long limit) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + (c - L'0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

ParsedOptions refuse(std::string why) { return ParsedOptions{std::nullopt, std::move(why)}; }

ParsedOptions asked(ParsedOptions::Request request) {
  return ParsedOptions{std::nullopt, {}, request};
}

// Whether --json stands among the options, before any --.
bool asksForJson(const std::vector<std::wstring>& arguments) {
  for (const std::wstring& argument : arguments) {
    if (argument == L"--") return false;
    if (argument == L"--json") return true;
  }
  return false;
}

// A word that is no option: most often a command whose -- was forgotten.
ParsedOptions refuseStrayWord(const std::vector<std::wstring>& arguments, std::size_t at) {
  std::string command;
  for (std::size_t i = at; i < arguments.size() && arguments[i] != L"--"; ++i)
    command += " " + wideToUtf8(arguments[i].c_str());
  return refuse("put -- before the command: varnick-session --add ... --" + command);
}

// The options that make a session: none of them goes with --recover.
bool asksForASession(const SessionOptions& options) {
  return !options.entries.empty() || !options.command.empty() || options.holdSeconds ||
         options.backupPath || options.port != 0 || options.utf8 || options.raw;
}

ParsedOptions parseArguments(const std::vector<std::wstring>& arguments) {
  SessionOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& flag = arguments[i];
    if (flag == L"--") {
      options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                             arguments.end());
      if (options.command.empty()) return refuse("no command after --");
      break;
    }
    if (flag == L"--utf8") {
      options.utf8 = true;
      continue;
    }
    if (flag == L"--raw") {
      options.raw = true;
      continue;
    }
    if (flag == L"--json") {
      options.json = true;
      continue;
    }
    if (flag == L"--recover") {
      options.recover = true;
      continue;
    }
    if (flag == L"--clean") {
      options.clean = true;
      continue;
    }
    if (flag == L"--trust-varnick-folder") {
      options.trustVarnickFolder = true;
      continue;
    }
    if (flag == L"--no-consent") {
      options.noConsent = true;
      continue;
    }
    if (flag == L"--help" || flag == L"-h" || flag == L"/?")
      return asked(ParsedOptions::Request::kHelp);
    if (flag == L"--status") return asked(ParsedOptions::Request::kStatus);
    if (flag == L"--version") return asked(ParsedOptions::Request::kVersion);
    if (flag.empty() || (flag[0] != L'-' && flag[0] != L'/')) return refuseStrayWord(arguments, i);
    if (flag != L"--add" && flag != L"--backup" && flag != L"--port" && flag != L"--varnick" &&
        flag != L"--timeout" && flag != L"--hosts-file" && flag != L"--for") {
      return refuse("unknown option " + wideToUtf8(flag.c_str()));
    }
    if (i + 1 >= arguments.size()) return refuse(wideToUtf8(flag.c_str()) + " needs a value");
    const std::wstring& value = arguments[++i];
    if (flag == L"--add") {
      options.entries.push_back({EntrySource::Kind::kEntry, value});
    } else if (flag == L"--hosts-file") {
      options.entries.push_back({EntrySource::Kind::kFile, value});
    } else if (flag == L"--for") {
      options.holdSeconds = parseDuration(value);
      if (!options.holdSeconds)
        return refuse("--for takes a duration such as 90s, 30m or 2h, up to 7 days");
    } else if (flag == L"--backup") {
      options.backupPath = value;
    } else if (flag == L"--varnick") {
      options.varnickPath = value;
    } else if (flag == L"--port") {
      auto port = readNumber(value, 65535);
      if (!port) return refuse("--port takes a number from 0 to 65535");
      options.port = static_cast<std::uint16_t>(*port);
    } else {
      auto seconds = readNumber(value, 86400);
      if (!seconds || *seconds == 0)
        return refuse("--timeout takes a number of seconds from 1 to 86400");
      options.connectTimeoutSeconds = static_cast<int>(*seconds);
    }
  }
  if (options.recover && options.clean)
    return refuse("--clean recovers too: give --recover or --clean, not both");
  if (options.recover || options.clean) {
    if (asksForASession(options)) {
      return refuse(std::string(options.clean ? "--clean" : "--recover") +
                    " goes with --varnick, --timeout, --trust-varnick-folder and --json only: no "
                    "entries, command, --for, --backup, --port, --utf8 or --raw");
    }
    return ParsedOptions{std::move(options), {}};
  }
  if (options.entries.empty())
    return refuse("at least one --add ENTRY or --hosts-file PATH is needed");
  if (options.noConsent && options.backupPath)
    return refuse("--no-consent goes through the Varnick service, which keeps no --backup");
  if (options.holdSeconds && !options.command.empty()) {
    return refuse("--for is for a session without a command: the command's life is the session's");
  }
  return ParsedOptions{std::move(options), {}};
}

}  // namespace

ParsedOptions parseSessionOptions(const std::vector<std::wstring>& arguments) {
  ParsedOptions parsed = parseArguments(arguments);
  parsed.json = asksForJson(arguments);
  return parsed;
}

std::optional<int> parseDuration(const std::wstring& text) {
  constexpr long kMaxSeconds = 7L * 24 * 3600;
  if (text.empty()) return std::nullopt;
  long unit = 1;
  std::wstring number = text;
  switch (text.back()) {
    case L's':
      unit = 1;
      number.pop_back();
      break;
    case L'm':
      unit = 60;
      number.pop_back();
      break;
    case L'h':
      unit = 3600;
      number.pop_back();
      break;
    default:
      break;
  }
  std::optional<long> value = readNumber(number, kMaxSeconds);
  if (!value || *value == 0 || *value > kMaxSeconds / unit) return std::nullopt;
  return static_cast<int>(*value * unit);
}

std::vector<FileEntry> parseEntryFile(std::string_view bytes) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    bytes.remove_prefix(kByteOrderMark.size());
  std::vector<FileEntry> entries;
  for (int line = 1; !bytes.empty(); ++line) {
    std::size_t end = bytes.find('\n');
    std::string_view text = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos || text[first] == '#') continue;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    entries.push_back({line, std::string(text)});
  }
  return entries;
}

}  // namespace varnick::control
