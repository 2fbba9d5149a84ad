// The session side of the Linux varnick-session, which the program's main
// (src/app/session_main_posix.cc) runs unless it is started as the
// privileged half.
#pragma once

namespace varnick::control {

// Standard input, output and error are open, on /dev/null when they were
// not: a descriptor that the program opens must never take their numbers,
// or the command and the half would read and write it as one of them.
void keepStandardDescriptors();

// A session, a recovery, --status, --help or --version, from the command
// line to the exit code.
int sessionMain(int argc, char** argv);

}  // namespace varnick::control
