#include "session/session_options.h"

#include <algorithm>
#include <string_view>

#include "base/wide_text.h"
#include "hosts/entry_syntax.h"
#include "hosts/ip_address.h"
#include "session/session_exit_codes.h"

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
      "                      behind, with --json as one JSON object; changes nothing\n"
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
          "varnick-session --recover. docs/session.md says more.\n"
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

bool isOptionWord(const std::wstring& word) {
  return !word.empty() && (word[0] == L'-' || word[0] == L'/');
}

// The entry that an --add value `address` and the words after it would make,
// when they read as one: the value is an address alone and the words that
// follow, up to the next option, add host names to it. What a shell makes of
// an entry left unquoted.
std::optional<std::string> unquotedEntry(const std::wstring& address,
                                         const std::vector<std::wstring>& arguments,
                                         std::size_t at) {
  std::string entry = wideToUtf8(address.c_str());
  if (!parseIpAddress(entry)) return std::nullopt;
  std::optional<std::string> found;
  for (std::size_t i = at; i < arguments.size() && !isOptionWord(arguments[i]); ++i) {
    std::string longer = entry + " " + wideToUtf8(arguments[i].c_str());
    if (entrySyntaxProblem(longer)) break;
    entry = std::move(longer);
    found = entry;
  }
  return found;
}

// A word that is no option: the second half of an --add left unquoted, or
// else most often a command whose -- was forgotten. `addValue` is the value
// of the --add just before it, if one is.
ParsedOptions refuseStrayWord(const std::vector<std::wstring>& arguments, std::size_t at,
                              const std::wstring* addValue) {
  if (addValue) {
    if (std::optional<std::string> entry = unquotedEntry(*addValue, arguments, at))
      return refuse("quote each entry: --add \"" + *entry + "\"");
  }
  std::string command;
  for (std::size_t i = at; i < arguments.size() && arguments[i] != L"--"; ++i)
    command += " " + wideToUtf8(arguments[i].c_str());
  return refuse("put -- before the command: varnick-session --add ... --" + command);
}

// Every option that varnick-session knows, as --help names it.
constexpr const wchar_t* kKnownOptions[] = {
    L"--add",
    L"--hosts-file",
    L"--for",
    L"--utf8",
    L"--raw",
    L"--json",
    L"--no-consent",
    L"--backup",
    L"--port",
    L"--varnick",
    L"--timeout",
    L"--recover",
    L"--clean",
    L"--status",
    L"--help",
    L"--version",
    L"--trust-varnick-folder",
};

wchar_t lowered(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

// How many characters to insert, delete, replace or swap with their
// neighbour to make one text the other, letter case aside.
std::size_t editDistance(std::wstring_view a, std::wstring_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i)
    d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j)
    d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same = lowered(a[i - 1]) == lowered(b[j - 1]);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lowered(a[i - 1]) == lowered(b[j - 2]) &&
          lowered(a[i - 2]) == lowered(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The known option that `word` most likely meant: the only one it begins,
// else the only nearest within two edits. Nothing when none is, or two are
// as near.
std::optional<std::wstring> nearestOption(const std::wstring& word) {
  constexpr std::size_t kMaxEdits = 2;
  std::vector<const wchar_t*> begun;
  std::vector<const wchar_t*> nearest;
  std::size_t best = kMaxEdits + 1;
  for (const wchar_t* option : kKnownOptions) {
    if (word.size() > 2 && std::wstring_view(option).substr(0, word.size()) == word)
      begun.push_back(option);
    const std::size_t distance = editDistance(word, option);
    if (distance < best) nearest.clear();
    if (distance <= best) {
      best = distance;
      nearest.push_back(option);
    }
  }
  if (begun.size() == 1) return begun[0];
  if (nearest.size() == 1) return nearest[0];
  return std::nullopt;
}

ParsedOptions refuseUnknownOption(const std::wstring& flag) {
  std::string why = "unknown option " + wideToUtf8(flag.c_str());
  if (std::optional<std::wstring> meant = nearestOption(flag))
    why += " (did you mean " + wideToUtf8(meant->c_str()) + "?)";
  return refuse(why);
}

// The options that make a session: none of them goes with --recover.
bool asksForASession(const SessionOptions& options) {
  return !options.entries.empty() || !options.command.empty() || options.holdSeconds ||
         options.backupPath || options.port != 0 || options.utf8 || options.raw;
}

ParsedOptions parseArguments(const std::vector<std::wstring>& arguments) {
  SessionOptions options;
  std::size_t addValueAt = arguments.size();  // where the last --add's value stands
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
    if (!isOptionWord(flag))
      return refuseStrayWord(arguments, i, addValueAt + 1 == i ? &arguments[addValueAt] : nullptr);
    if (flag != L"--add" && flag != L"--backup" && flag != L"--port" && flag != L"--varnick" &&
        flag != L"--timeout" && flag != L"--hosts-file" && flag != L"--for") {
      return refuseUnknownOption(flag);
    }
    if (i + 1 >= arguments.size()) return refuse(wideToUtf8(flag.c_str()) + " needs a value");
    const std::wstring& value = arguments[++i];
    if (flag == L"--add") {
      options.entries.push_back({EntrySource::Kind::kEntry, value});
      addValueAt = i;
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
