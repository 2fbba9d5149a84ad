#include "control/command_line.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

// The C runtime's rules for splitting a command line into arguments: 2n
// backslashes before a quote give n and the quote opens or closes; 2n+1 give
// n and a literal quote; other backslashes are literal.
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

}  // namespace
}  // namespace varnick::control
