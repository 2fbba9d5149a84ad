// The platform half of the log file: opening it and moving its copies, only
// ever as plain files with one link. The log lies in the working directory,
// which an unelevated program may be able to write, so any name there may be
// a planted link that would have an elevated Varnick write, truncate or move
// a file that is not its log.
#pragma once

#include <string>

#include "base/expected.h"
#include "base/unique_resource.h"

namespace varnick {

// Why the log file could not be had.
enum class LogFileFailure {
  kNotPlainFile,  // a link, a file reached through a linked folder, or no regular file
  kFailed,        // could not be opened or created for another reason
};

using OpenedLogFile = Expected<UniqueStream, LogFileFailure>;

// Opens `name` for reading and appending in text mode, as fopen's "a+" does,
// and creates it when nothing stands at the name. The stream is kept only
// when what was opened is a regular file with one link, reached by that very
// name; anything else is closed unwritten and reported as kNotPlainFile. A
// link is never followed to create a file.
[[nodiscard]] OpenedLogFile openLogFile(const std::string& name);

// Renames `from` to `to`, replacing whatever bears the new name (a link there
// is replaced itself, what it leads to is left alone), but only when `from`
// is a regular file with one link, as checked on the opened file. Returns
// whether the file was moved; a missing source or a link moves nothing.
[[nodiscard]] bool moveLogFile(const std::string& from, const std::string& to);

// Whether another process holds `name` open so that it cannot be moved now.
// A missing file is not held. Always false where an open file can be moved.
[[nodiscard]] bool logFileIsHeld(const std::string& name);

}  // namespace varnick
