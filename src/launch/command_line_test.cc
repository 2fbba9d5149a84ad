#include "launch/command_line.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

// The C runtime's rules for splitting a command line into arguments: 2n
// backslashes before a quote give n and the quote opens or closes (but ""
// inside quotes gives one quote and stays inside); 2n+1 give n and a literal
// quote; other backslashes are literal.
std::vector<std::wstring> splitLikeTheRuntime(const std::wstring& line) {
  std::vector<std::wstring> arguments;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t'))
      ++i;
    if (i == line.size()) break;
    std::wstring argument;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      if (!quoted && (line[i] == L' ' || line[i] == L'\t')) break;
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == L'\\')
        ++slashes, ++i;
      if (i < line.size() && line[i] == L'"') {
        argument.append(slashes / 2, L'\\');
        if (slashes % 2)
          argument += L'"';
        else if (quoted && i + 1 < line.size() && line[i + 1] == L'"')
          argument += line[++i];
        else
          quoted = !quoted;
      } else {
        argument.append(slashes, L'\\');
        if (i == line.size()) break;
        if (!quoted && (line[i] == L' ' || line[i] == L'\t')) break;
        argument += line[i];
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

TEST(BuildCommandLine, RuntimeSplitsItBackIntoTheSameArguments) {
  const std::vector<std::wstring> nasty = {L"cmd",
                                           L"",
                                           L"plain",
                                           L"two words",
                                           L"tab\there",
                                           L"quote\"inside",
                                           L"\"",
                                           L"trailing\\",
                                           L"trailing space\\",
                                           L"C:\\Program Files\\x\\",
                                           L"\\\\server\\share",
                                           L"a\\\"b",
                                           L"a\\\\\"b c",
                                           L"\\",
                                           L"\\\\",
                                           L" ",
                                           L"end\\\\"};
  std::wstring line = buildCommandLine(nasty);
  EXPECT_EQ(splitLikeTheRuntime(line), nasty) << std::string(line.begin(), line.end());
}

TEST(QuoteArgument, LeavesSimpleArgumentsAlone) {
  EXPECT_EQ(quoteArgument(L"C:\\dir\\file.exe"), L"C:\\dir\\file.exe");
  EXPECT_EQ(quoteArgument(L""), L"\"\"");
  EXPECT_EQ(quoteArgument(L"a b\\"), L"\"a b\\\\\"");
}

const std::wstring kComSpec = L"C:\\Windows\\system32\\cmd.exe";
const std::wstring kScript = L"C:\\Program Files\\nodejs\\npm.cmd";

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(BatchCommandLine, QuotesAnArgumentForCmdAndTheRuntimeAlike) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"run", L"run"},
      {L"dev", L"dev"},
      {L"C:\\x\\y.js", L"C:\\x\\y.js"},
      {L"--port=5173", L"\"--port=5173\""},
      {L"", L"\"\""},
      {L"a&b", L"\"a&b\""},
      {L"x|y", L"\"x|y\""},
      {L"<z>", L"\"<z>\""},
      {L"c^d", L"\"c^d\""},
      {L"(e)", L"\"(e)\""},
      {L"sp ace", L"\"sp ace\""},
      {L"tab\there", L"\"tab\there\""},
      {L"\"q\"", L"\"\"\"q\"\"\""},
      {L"a\\\"b", L"\"a\\\\\"\"b\""},
      {L"a\\b c", L"\"a\\b c\""},
      {L"tail\\", L"\"tail\\\\\""},
      {L"\u00e9", L"\u00e9"},
      {L"\u00e9 x", L"\"\u00e9 x\""},
      {L"!x!", L"\"!x!\""},
  };
  const std::wstring start = kComSpec + L" /d /e:on /v:off /s /c \"\"" + kScript + L"\" ";
  for (const auto& [argument, quoted] : cases) {
    BatchCommandLine built = batchCommandLine(kComSpec, kScript, {argument});
    ASSERT_TRUE(built) << narrow(argument) << ": refused";
    EXPECT_EQ(*built, start + quoted + L"\"") << narrow(argument);
  }
}

TEST(BatchCommandLine, RefusesTheFirstTextThatCmdWouldReadAsItsOwn) {
  struct Case {
    std::wstring script;
    std::vector<std::wstring> arguments;
    std::wstring refused;
    std::string why;
  };
  const std::string expands = "cmd.exe would expand % in it";
  const std::string breaks = "a line break would end the command there";
  const Case cases[] = {
      {kScript, {L"run", L"%PATH%"}, L"%PATH%", expands},
      {kScript, {L"100%"}, L"100%", expands},
      {kScript, {L"\"%x%\""}, L"\"%x%\"", expands},
      {kScript, {L"a\nb", L"%PATH%"}, L"a\nb", breaks},
      {kScript, {L"a\rb"}, L"a\rb", breaks},
      {kScript,
       {std::wstring(L"a\0b", 3)},
       std::wstring(L"a\0b", 3),
       "a NUL character would cut the command line short there"},
      {L"C:\\100%\\npm.cmd", {L"%PATH%"}, L"C:\\100%\\npm.cmd", expands},
      {L"C:\\a\" & calc & \"\\npm.cmd",
       {},
       L"C:\\a\" & calc & \"\\npm.cmd",
       "a quote would end the script's quoted path there"},
  };
  for (const Case& c : cases) {
    BatchCommandLine built = batchCommandLine(kComSpec, c.script, c.arguments);
    ASSERT_FALSE(built) << narrow(c.refused) << ": a line was made";
    EXPECT_EQ(built.error().text, c.refused) << narrow(c.refused);
    EXPECT_EQ(built.error().why, c.why) << narrow(c.refused);
  }
}

TEST(BatchCommandLine, WholeLine) {
  BatchCommandLine built =
      batchCommandLine(L"C:\\Windows Folder\\cmd.exe", kScript, {L"run", L"dev", L"x y"});
  ASSERT_TRUE(built);
  EXPECT_EQ(*built,
            L"\"C:\\Windows Folder\\cmd.exe\" /d /e:on /v:off /s /c "
            L"\"\"C:\\Program Files\\nodejs\\npm.cmd\" run dev \"x y\"\"");
}

// cmd.exe runs a second command only from a special character outside quotes,
// and it toggles quotes at every ". Whatever the arguments hold, none may
// stand outside, and the script's programs must get them back unchanged.
TEST(BatchCommandLine, KeepsEverySpecialCharacterInsideQuotes) {
  const std::vector<std::wstring> nasty = {L"x\" & echo PWNED & rem \"y",
                                           L"\"",
                                           L"\"\"",
                                           L"a\\\"&b",
                                           L"a\\\\\"|b",
                                           L"\\\"^\\",
                                           L"\"(\" \")\"",
                                           L"&",
                                           L">out",
                                           L"<in",
                                           L"\\",
                                           L"\\\"\\\"&&\\",
                                           L"^\"^\"^",
                                           L"a\\\\",
                                           L"\" \"",
                                           L"|\"|\"|",
                                           L"()"};
  const std::wstring marker = L" /s /c ";
  BatchCommandLine built = batchCommandLine(kComSpec, kScript, nasty);
  ASSERT_TRUE(built);
  const std::wstring& line = *built;
  std::size_t start = line.find(marker);
  ASSERT_NE(start, std::wstring::npos) << narrow(line);
  std::wstring rest = line.substr(start + marker.size());
  ASSERT_TRUE(rest.size() >= 2 && rest.front() == L'"' && rest.back() == L'"') << narrow(line);
  // What /s /c leaves: the outer quotes stripped.
  std::wstring command = rest.substr(1, rest.size() - 2);
  bool quoted = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (command[i] == L'"') quoted = !quoted;
    bool special = std::wstring_view(L"&|<>^()").find(command[i]) != std::wstring_view::npos;
    EXPECT_FALSE(special && !quoted) << "outside quotes at " << i << ": " << narrow(command);
  }
  std::vector<std::wstring> expected = {kScript};
  expected.insert(expected.end(), nasty.begin(), nasty.end());
  EXPECT_EQ(splitLikeTheRuntime(command), expected) << narrow(command);
}

}  // namespace
}  // namespace varnick::control
