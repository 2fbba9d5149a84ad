// The events that `varnick-session --json` writes for programs: one JSON
// object a line on standard output. docs/events.md describes each field;
// a program (the Node package among them) is built on them, so a field once
// written keeps its name and meaning.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnick::control {

// Each event is one line, ending in LF. Texts are UTF-8; a byte that is not
// part of UTF-8 stands as U+FFFD, so every line is valid JSON.

// Every entry is in the hosts file at `hostsFile`, put there `via` the
// Varnick service ("service") or an elevated Varnick ("consent").
std::string readyEvent(const std::vector<std::string>& entries, std::string_view hostsFile,
                       std::string_view via);
// A line that an interrupted session left was taken out.
std::string recoveredEvent(std::string_view line, std::string_view sessionStarted);
// The session failed with `exitCode`; `message` says why, as standard error
// did, `reason` names the failure in a word, and `remedies` are the ways out
// that standard error listed under it.
std::string errorEvent(int exitCode, std::string_view message, std::string_view reason,
                       const std::vector<std::string>& remedies);
// The last event: the session is over, and its exit code is `exitCode`.
std::string endedEvent(int exitCode);

}  // namespace varnick::control
