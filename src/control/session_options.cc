#include "control/session_options.h"

#include "base/wide_text.h"

namespace varnick::control {

const char kSessionUsageText[] =
    "Usage: varnick-session [--backup PATH] [--port N] [--varnick PATH] [--utf8]\n"
    "                       [--timeout SECONDS] --add ENTRY [--add ENTRY ...]\n"
    "                       [-- COMMAND [ARG ...]]\n";

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

}  // namespace

ParsedOptions parseSessionOptions(const std::vector<std::wstring>& arguments) {
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
    if (flag != L"--add" && flag != L"--backup" && flag != L"--port" && flag != L"--varnick" &&
        flag != L"--timeout") {
      return refuse("unknown option " + wideToUtf8(flag.c_str()));
    }
    if (i + 1 >= arguments.size()) return refuse(wideToUtf8(flag.c_str()) + " needs a value");
    const std::wstring& value = arguments[++i];
    if (flag == L"--add") {
      options.entries.push_back(value);
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
      if (!seconds || *seconds == 0) return refuse("--timeout takes a number of seconds from 1 to 86400");
      options.connectTimeoutSeconds = static_cast<int>(*seconds);
    }
  }
  if (options.entries.empty()) return refuse("at least one --add ENTRY is needed");
  return ParsedOptions{std::move(options), {}};
}

}  // namespace varnick::control
