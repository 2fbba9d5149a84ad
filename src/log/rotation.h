// Size-based rotation of the log file into ten numbered copies.
#pragma once

#include <string>

namespace varnick {

constexpr int kLogCopies = 10;

// The name of copy `number` (1 to 10) of the log file `baseName`: the base
// name followed by ".1" to ".10", without leading zeros.
std::string logCopyName(const std::string& baseName, int number);

// Closes the log stream, shifts the copies one number up (the oldest is
// discarded), turns the log file into copy 1 and reopens the base name.
// Every step runs whatever became of the ones before; nothing is reported.
// When the reopening fails the stream stays absent for the rest of the run.
void rotateLogFile();

}  // namespace varnick
