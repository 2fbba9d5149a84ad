// Checks that varnick-session makes on the bytes it sends and on the hosts
// file it leaves behind.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnick::control {

// `varnick add` takes at most 254 bytes of entry, and so does a session.
constexpr std::size_t kMaxSessionEntryBytes = 254;

// Why an entry, in the bytes it is sent as, cannot go into the hosts file as
// one line: it holds a CR, LF or NUL, or is longer than 254 bytes. Nothing
// when it can.
std::optional<std::string> entryProblem(std::string_view bytes);

// `text` with CR, LF and NUL written as \r, \n and \0, so that a message
// that names an entry stays on one line.
std::string visibleText(std::string_view text);

// The lines of `now` that `expected` lacks (added by someone else), and the
// lines of `expected` that `now` lacks (removed by someone else), each in the
// order of its file. Lines end at LF; a CR before it is not part of the line.
struct LineChanges {
  std::vector<std::string> added;
  std::vector<std::string> removed;
  bool empty() const { return added.empty() && removed.empty(); }
};
LineChanges changedLines(std::string_view expected, std::string_view now);

}  // namespace varnick::control
