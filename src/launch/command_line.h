// Building a Windows command line from separate arguments.
#pragma once

#include <string>
#include <vector>

#include "base/expected.h"

namespace varnick::control {

// Quotes one argument so that the C runtime's command-line parser gives it
// back unchanged: blanks, tabs and quotes inside it, and backslashes before
// a quote or the end, are escaped.
std::wstring quoteArgument(const std::wstring& argument);

// Joins the quoted arguments with single blanks.
std::wstring buildCommandLine(const std::vector<std::wstring>& arguments);

// The command line that runs the batch file `script` through cmd.exe
// (`comSpec`) with `arguments`, each reaching the programs that the script
// passes %* to exactly as given. Or, when cmd.exe would read part of an
// argument (or of the script's path) as its own whatever the quoting, the
// refusal: the first such text and why, and no line.
struct BatchRefusal {
  std::wstring text;
  std::string why;  // "cmd.exe would expand % in it", ...
};
using BatchCommandLine = Expected<std::wstring, BatchRefusal>;
[[nodiscard]] BatchCommandLine batchCommandLine(const std::wstring& comSpec,
                                                const std::wstring& script,
                                                const std::vector<std::wstring>& arguments);

}  // namespace varnick::control
