#include "launch/command_line.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace varnick::control {
namespace {

// Characters that mean nothing to cmd.exe nor to the C runtime's parser.
// Characters beyond ASCII are plain too, but for the C1 controls.
bool isPlainForCmd(wchar_t c) {
  if (c >= 0x80) return c > 0x9F;
  if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) {
    return true;
  }
  return std::wstring_view(L"#$*+-./:?@\\_").find(c) != std::wstring_view::npos;
}

// A trailing backslash is quoted (and so doubled) too: a script that writes
// "%~1" puts a quote right after it, which the C runtime would then read as
// escaped.
bool needsCmdQuotes(const std::wstring& argument) {
  return argument.empty() || argument.back() == L'\\' ||
         !std::all_of(argument.begin(), argument.end(), isPlainForCmd);
}

// `argument` in quotes that the C runtime's parser reads back: backslashes
// before a quote or the end are doubled, and each quote inside becomes
// `quote`, which the parser reads as one quote.
std::wstring wrapInQuotes(const std::wstring& argument, std::wstring_view quote) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2, L'\\').append(quote);
    } else {
      quoted.append(backslashes, L'\\') += c;
    }
    backslashes = 0;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

// cmd.exe knows no escape inside quotes: it toggles at every quote. So a
// quote in the argument is doubled, which closes and at once reopens them,
// and nothing stands outside. The C runtime reads "" inside quotes as one
// quote.
std::wstring quoteForCmd(const std::wstring& argument) {
  return needsCmdQuotes(argument) ? wrapInQuotes(argument, L"\"\"") : argument;
}

// Why cmd.exe would read part of `text` as its own whatever the quoting, or
// nothing. It expands %NAME% inside quotes too, and no escape of % holds
// under every cmd.exe (Wine's expands the known tricks, and drops a lone %).
std::optional<std::string> cmdReadsItsOwn(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c == L'%') return "cmd.exe would expand % in it";
    if (c == L'\r' || c == L'\n') return "a line break would end the command there";
    if (c == L'\0') return "a NUL character would cut the command line short there";
  }
  return std::nullopt;
}

Unexpected<BatchRefusal> refusal(const std::wstring& text, std::string why) {
  return unexpected(BatchRefusal{text, std::move(why)});
}

}  // namespace

std::wstring quoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  return wrapInQuotes(argument, L"\\\"");
}

std::wstring buildCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (const std::wstring& argument : arguments) {
    if (!line.empty()) line += L' ';
    line += quoteArgument(argument);
  }
  return line;
}

BatchCommandLine batchCommandLine(const std::wstring& comSpec, const std::wstring& script,
                                  const std::vector<std::wstring>& arguments) {
  if (std::optional<std::string> why = cmdReadsItsOwn(script)) return refusal(script, *why);
  if (script.find(L'"') != std::wstring::npos) {
    return refusal(script, "a quote would end the script's quoted path there");
  }
  for (const std::wstring& argument : arguments) {
    if (std::optional<std::string> why = cmdReadsItsOwn(argument)) return refusal(argument, *why);
  }
  // /d: no AutoRun commands; /e:on /v:off: the extensions the scripts expect,
  // and no !NAME! expansion. /s /c: cmd.exe strips the outer quotes and runs
  // the rest as written.
  std::wstring line = quoteArgument(comSpec) + L" /d /e:on /v:off /s /c \"\"" + script + L'"';
  for (const std::wstring& argument : arguments)
    line += L' ' + quoteForCmd(argument);
  line += L'"';
  return line;
}

}  // namespace varnick::control
