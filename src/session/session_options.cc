#include "session/session_options.h"

#include <algorithm>
#include <string_view>

#include "base/wide_text.h"
#include "hosts/entry_syntax.h"
#include "hosts/ip_address.h"

namespace varnick::control {

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
