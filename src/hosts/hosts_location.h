// Where the hosts file is: found once at start-up through the registry, read
// by every mode.
#pragma once

#include <cstddef>
#include <string>

#include "base/expected.h"

namespace varnick {

constexpr std::size_t kPathCapacity = 260;  // wide characters, terminating NUL included

// Which step of locating the hosts file failed.
enum class LocateStep {
  kNoKey,             // the Parameters key could not be opened
  kNoValue,           // DataBasePath could not be read, or does not fit
  kNotExpanded,       // the expansion failed; hostsFilePath() holds the raw value
  kExpansionTooLong,  // the expansion does not fit; hostsFilePath() holds the raw value
  kPathTooLong,       // the directory and "\hosts" do not fit
};

// The step that failed, with the system's code (0 for the two steps that
// only found a result too long) and the path its message names: the raw
// DataBasePath for an expansion, the expanded directory for kPathTooLong.
using LocateFailure = StepFailure<LocateStep>;

// The message that says why the hosts file could not be located, without a
// line end; the system's code follows it, " <code>", where there is one.
std::string locateFailureText(const LocateFailure& failure);

// Reads DataBasePath from the registry, expands it into the hosts directory
// and builds the hosts file path.
[[nodiscard]] Expected<void, LocateFailure> locateHostsFile();

// Full path of the hosts file: the hosts directory followed by "\hosts".
const wchar_t* hostsFilePath();

// DataBasePath after environment expansion, exactly as expanded: records
// name it where they stand for the hosts file.
const wchar_t* hostsDirectory();

// The full long path of the file "hosts<suffix>" beside the hosts file, in
// the form in which the system names a file opened there.
std::wstring besideHostsFile(const wchar_t* suffix);

}  // namespace varnick
