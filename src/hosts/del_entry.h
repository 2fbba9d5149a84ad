// `del <entry>`: rewrites the hosts file without the entry's occurrences.
#pragma once

namespace varnick {

// Rebuilds the hosts file from a temporary copy, leaving out every occurrence
// of the entry's OEM bytes. Returns 0 on success, 1 on failure.
[[nodiscard]] int delEntry(const wchar_t* entry);

}  // namespace varnick
