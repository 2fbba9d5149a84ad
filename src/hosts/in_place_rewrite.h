// What a recovery makes of a hosts file that was being written over in
// place when the session was cut off. Where the hosts file is a mount point
// of its own (a container's), no new file can be renamed over it, so the
// take-out writes the new content over the old one and cuts the file to its
// length. A power cut in that write can leave any of the written pages on
// the disk and any not, and the length either way; so before the write the
// old content is kept, flushed, in a copy beside the hosts file, and the
// journal names the copy. Portable, so that every cut is tested.
#pragma once

#include <string_view>

namespace varnick {

enum class InPlaceState {
  kDone,     // the hosts file holds the new content: the rewrite is done
  kCut,      // it holds old and new bytes, or only old ones: write the new content again
  kChanged,  // something else wrote it since: take the lines out of what it holds now
};

// `before` is the hosts file's content before the rewrite, `after` the
// content it was written over with (never longer: lines only go), and `now`
// what the hosts file holds. A cut leaves `before`'s length or `after`'s,
// and at every byte `after`'s byte or `before`'s.
[[nodiscard]] InPlaceState inPlaceState(std::string_view before, std::string_view after,
                                        std::string_view now);

}  // namespace varnick
