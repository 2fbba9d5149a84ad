// Standard output for the program's own messages and the log's echo.
#pragma once

namespace varnick {

// Gives standard output a buffer of its own. Without one, the C runtime
// writes a stream that is a character device (a console, or /dev/null under
// Wine) one character per call, each a round trip to the system; with it, a
// message or record that is flushed at once costs one write.
void bufferConsoleOutput();

// Prints a message on standard output and flushes it, so that it reaches the
// stream at once, in the order of the calls, buffered or not.
void printText(const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace varnick
