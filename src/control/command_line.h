// Building a Windows command line from separate arguments.
#pragma once

#include <string>
#include <vector>

namespace varnick::control {

// Quotes one argument so that the C runtime's command-line parser gives it
// back unchanged: blanks, tabs and quotes inside it, and backslashes before
// a quote or the end, are escaped.
std::wstring quoteArgument(const std::wstring& argument);

// Joins the quoted arguments with single blanks.
std::wstring buildCommandLine(const std::vector<std::wstring>& arguments);

}  // namespace varnick::control
