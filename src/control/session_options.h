// The command line of varnick-session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnick::control {

struct SessionOptions {
  std::optional<std::wstring> backupPath;   // --backup; a temporary file when absent
  std::uint16_t port = 0;                   // --port; 0 lets the system pick
  std::optional<std::wstring> varnickPath;  // --varnick; beside varnick-session.exe when absent
  bool utf8 = false;                        // --utf8: send entries as UTF-8, not OEM
  int connectTimeoutSeconds = 60;           // --timeout: the consent prompt may take a while
  std::vector<std::wstring> entries;        // --add, at least one
  std::vector<std::wstring> command;        // after --; empty: hold until Enter or Ctrl+C
};

struct ParsedOptions {
  std::optional<SessionOptions> options;
  std::string error;  // why the command line was refused, when options is empty
};

// Parses the arguments after the program name.
ParsedOptions parseSessionOptions(const std::vector<std::wstring>& arguments);

extern const char kSessionUsageText[];

}  // namespace varnick::control
