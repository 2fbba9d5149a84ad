// Where the hosts file is: found once at start-up through the registry, read
// by every mode.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace varnick {

constexpr std::size_t kPathCapacity = 260;  // wide characters, terminating NUL included

// Reads DataBasePath from the registry, expands it into the hosts directory
// and builds the hosts file path. Prints what went wrong and returns the exit
// code when the program must stop here, nothing when it may go on.
[[nodiscard]] std::optional<int> locateHostsFile();

// Finds the hosts file as locateHostsFile does, but prints nothing: true when
// the two paths below are filled.
[[nodiscard]] bool findHostsFile();

// Full path of the hosts file: the hosts directory followed by "\hosts".
const wchar_t* hostsFilePath();

// DataBasePath after environment expansion, exactly as expanded: records
// name it where they stand for the hosts file.
const wchar_t* hostsDirectory();

// The full long path of the file "hosts<suffix>" beside the hosts file, in
// the form in which the system names a file opened there.
std::wstring besideHostsFile(const wchar_t* suffix);

}  // namespace varnick
