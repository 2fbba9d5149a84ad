#include "session/session_command_line.h"

#include <cstdio>

#ifndef VARNICK_VERSION
#define VARNICK_VERSION "unknown"
#endif

namespace varnick::control {
namespace {

void printUsage(Platform platform) {
  std::fputs(sessionUsageText(platform), stderr);
  std::fputs("Run varnick-session --help for every option and the exit codes.\n", stderr);
}

}  // namespace

int runCommandLine(const std::vector<std::wstring>& arguments, const SessionCommands& commands) {
  ParsedOptions parsed = parseSessionOptions(arguments);
  if (parsed.request == ParsedOptions::Request::kVersion) {
    std::printf("varnick-session %s\n", VARNICK_VERSION);
    return 0;
  }
  if (parsed.request == ParsedOptions::Request::kHelp) {
    std::fputs(sessionHelpText(commands.platform).c_str(), stdout);
    return 0;
  }
  if (parsed.request == ParsedOptions::Request::kStatus) return commands.status(parsed.json);
  if (arguments.empty()) {
    // Nothing asked for at all: the usage, and where the rest is, answer
    // better than a refusal or a whole screen of help.
    printUsage(commands.platform);
    return kSessionUsage;
  }
  EventStream events(parsed.json);
  SessionOutcome outcome = unexpected(kSessionUsage);
  if (parsed.options) {
    outcome = commands.runChecked(*parsed.options, events);
  } else {
    report(parsed.error);
    printUsage(commands.platform);
  }
  return writeEndEvents(outcome, events, commands.platform);
}

}  // namespace varnick::control
