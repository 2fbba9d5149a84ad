// Size-based rotation of the log file into ten numbered copies.
#pragma once

#include <functional>
#include <string>

namespace varnick {

constexpr int kLogCopies = 10;

// The name of copy `number` (1 to 10) of the log file `baseName`: the base
// name followed by ".1" to ".10", without leading zeros.
std::string logCopyName(const std::string& baseName, int number);

// Closes the log stream, shifts the copies one number up (the oldest is
// discarded), turns the log file into copy 1 and reopens the base name.
// Every step runs whatever became of the ones before. Only plain files with
// one link are moved; a link stays where it is. When the reopening fails the
// stream stays absent for the rest of the run, silently unless the base name
// has become a link, which one record reports as configureLogging does.
void rotateLogFile();

// Renames `from` to `to`, as moveLogFile (log/log_file.h) does. Returns
// whether the file was moved; rotation ignores the result.
using LogFileMover = std::function<bool(const std::string& from, const std::string& to)>;

// Makes rotation move files with `mover`; an empty mover restores moveLogFile.
// Only tests call this, to make a move fail or to watch the order of moves.
void setLogFileMoverForTesting(LogFileMover mover);

}  // namespace varnick
