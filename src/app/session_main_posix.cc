// The Linux varnick-session's main: one program is both the session and
// its privileged half, which the session starts as root (directly, or
// through sudo) as `varnick-session --privileged-half`, with `--clean` for
// the half of --clean. The half is a mode (src/modes), the session the
// session tool (src/session): neither reaches into the other.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "modes/privileged_half_posix.h"
#include "session/session_exit_codes.h"
#include "session/session_main.h"

namespace {

constexpr char kPrivilegedHalf[] = "--privileged-half";

int run(int argc, char** argv) {
  varnick::control::keepStandardDescriptors();
  // What sudo (or the session, as root) starts: the socket is its standard
  // input and output.
  if (argc == 2 && std::string(argv[1]) == kPrivilegedHalf)
    return varnick::runPrivilegedHalf(STDIN_FILENO);
  if (argc == 3 && std::string(argv[1]) == kPrivilegedHalf && std::string(argv[2]) == "--clean")
    return varnick::runCleaningHalf(STDIN_FILENO);
  return varnick::control::sessionMain(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  // Only memory running out throws here; the process then ends, and with it
  // the connection, at whose end the half takes the entries out.
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "varnick-session: stopped: %s\n", error.what());
    return varnick::control::kSessionConnectionLost;
  }
}
