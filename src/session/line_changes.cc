#include "session/line_changes.h"

#include <map>

namespace varnick::control {
namespace {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The lines of `from` that are left once every line of `minus` has taken
// away one equal line: a line that stands twice in `from` and once in
// `minus` is reported once.
std::vector<std::string> missingFrom(const std::vector<std::string_view>& from,
                                     const std::vector<std::string_view>& minus) {
  std::map<std::string_view, int> count;
  for (std::string_view line : minus)
    ++count[line];
  std::vector<std::string> left;
  for (std::string_view line : from) {
    int& n = count[line];
    if (n > 0) {
      --n;
    } else {
      left.emplace_back(line);
    }
  }
  return left;
}

}  // namespace

LineChanges changedLines(std::string_view expected, std::string_view now) {
  std::vector<std::string_view> before = splitLines(expected);
  std::vector<std::string_view> after = splitLines(now);
  return {missingFrom(after, before), missingFrom(before, after)};
}

}  // namespace varnick::control
