#include "control/session_checks.h"

#include <iterator>
#include <map>
#include <utility>

#include "base/hex_text.h"
#include "hosts/session_journal.h"

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

bool isControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

}  // namespace

std::optional<std::string> entryProblem(std::string_view bytes) {
  if (bytes.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return "holds a line break or a zero character";
  }
  // The hosts file's readers do not agree on these: Ctrl+Z ends a file read
  // in text mode, and VT or FF part two names for some readers and belong to
  // a name for others.
  for (char c : bytes) {
    if (isControl(static_cast<unsigned char>(c)))
      return "holds the control character 0x" +
             hexByte(static_cast<unsigned char>(c), HexCase::kUpper);
  }
  if (bytes.size() > kMaxSessionEntryBytes) {
    return "is " + std::to_string(bytes.size()) + " bytes long as sent; at most " +
           std::to_string(kMaxSessionEntryBytes) + " fit";
  }
  return std::nullopt;
}

std::string visibleText(std::string_view text) {
  std::string shown;
  for (char c : text) {
    switch (c) {
      case '\r':
        shown += "\\r";
        break;
      case '\n':
        shown += "\\n";
        break;
      case '\0':
        shown += "\\0";
        break;
      default:
        if (isControl(static_cast<unsigned char>(c))) {
          shown += "\\x" + hexByte(static_cast<unsigned char>(c), HexCase::kUpper);
        } else {
          shown += c;
        }
    }
  }
  return shown;
}

LineChanges changedLines(std::string_view expected, std::string_view now) {
  std::vector<std::string_view> before = splitLines(expected);
  std::vector<std::string_view> after = splitLines(now);
  return {missingFrom(after, before), missingFrom(before, after)};
}

}  // namespace varnick::control
