// What others changed in the hosts file while a session with a backup ran:
// its restore puts back the whole file, and the session names what that
// undoes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnick::control {

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
