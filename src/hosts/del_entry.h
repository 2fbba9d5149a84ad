// Removing an entry's occurrences from the hosts file.
#pragma once

#include <string_view>

#include "base/expected.h"

namespace varnick {

// The step at which a delete stopped.
enum class DelStep {
  kLockFailed,         // the write lock could not be had in time
  kNoTempPath,         // the user's temporary directory is unknown or too long
  kNoTempName,         // no free temporary name there (error: why)
  kTempCreateFailed,   // the temporary copy could not be created at a free name
  kTempCopyMisplaced,  // the temporary copy landed elsewhere: a folder on the way is a link
  kHostsOpenFailed,    // the hosts file could not be opened to be read
  kTempCopyFailed,     // the temporary copy could not be written
  kReadFailed,         // reading the hosts file failed part-way
  kNewFileFailed,      // the new hosts file could not be made, written or flushed
  kReplaceFailed,      // the new hosts file could not be swapped in
  kKeptChanging,       // another program wrote to the hosts file in every round (kRebuildRounds)
};

using DelResult = Expected<void, StepFailure<DelStep>>;

// Rewrites the hosts file without the occurrences of `entry` (bytes as the
// file holds them), through a new file swapped in whole, under the write
// lock. Leaves a copy of the old content in the user's temporary directory.
// On any failure the hosts file keeps its content.
[[nodiscard]] DelResult deleteEntry(std::string_view entry);

}  // namespace varnick
