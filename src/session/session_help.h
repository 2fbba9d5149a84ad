// What varnick-session says of itself: its usage, --help, and the meaning
// and word of each exit code, in the words of the platform it runs on.
#pragma once

#include <string>

namespace varnick::control {

// Whose words: on Windows the session starts varnick.exe elevated, through
// the consent prompt or the Varnick service; on Linux it starts its own
// privileged half as root, through sudo unless it runs as root.
enum class Platform { kWindows, kLinux };

// The usage lines alone, for a command line that was refused.
const char* sessionUsageText(Platform platform);

// What a session exit code of varnick-session's own means, in a few words.
std::string sessionExitMeaning(int code, Platform platform);
// The word that names a failure with that exit code in --json's error event.
std::string sessionExitReason(int code);

// The usage, every option with its default, the exit codes and examples:
// what --help prints.
std::string sessionHelpText(Platform platform);

}  // namespace varnick::control
