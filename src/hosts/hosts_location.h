// Where the hosts file is: found once at start-up through the registry, read
// by every mode.
#pragma once

#include <cstddef>
#include <string>

namespace varnick {

constexpr std::size_t kPathCapacity = 260;  // wide characters, terminating NUL included

// Why the hosts file could not be located.
enum class LocateFailure {
  kNone,
  kNoKey,             // the Parameters key could not be opened
  kNoValue,           // DataBasePath could not be read, or does not fit
  kNotExpanded,       // the expansion failed; hostsFilePath() holds the raw value
  kExpansionTooLong,  // the expansion does not fit; hostsFilePath() holds the raw value
  kPathTooLong,       // the directory and "\hosts" do not fit
};

// Reads DataBasePath from the registry, expands it into the hosts directory
// and builds the hosts file path.
[[nodiscard]] LocateFailure locateHostsFile();

// Whether locateHostsFile filled the two paths below.
[[nodiscard]] inline bool findHostsFile() { return locateHostsFile() == LocateFailure::kNone; }

// Full path of the hosts file: the hosts directory followed by "\hosts".
const wchar_t* hostsFilePath();

// DataBasePath after environment expansion, exactly as expanded: records
// name it where they stand for the hosts file.
const wchar_t* hostsDirectory();

// The full long path of the file "hosts<suffix>" beside the hosts file, in
// the form in which the system names a file opened there.
std::wstring besideHostsFile(const wchar_t* suffix);

}  // namespace varnick
