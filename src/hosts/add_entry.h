// `add <entry>`: appends the entry to the hosts file as a new line.
#pragma once

namespace varnick {

// Appends CR LF and the entry's OEM bytes to the existing hosts file.
// Returns 0 when both were written in full, 1 on any failure.
[[nodiscard]] int addEntry(const wchar_t* entry);

}  // namespace varnick
