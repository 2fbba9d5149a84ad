#include "status/mount_info.h"

#include <string>

namespace varnick::control {
namespace {

// A field of mountinfo with its octal escapes read.
std::string unescaped(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i >= 4) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string_view::npos) {
        text +=
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

}  // namespace

bool listsMountPoint(std::string_view mountInfo, std::string_view path) {
  while (!mountInfo.empty()) {
    const std::size_t end = mountInfo.find('\n');
    std::string_view line = mountInfo.substr(0, end);
    mountInfo.remove_prefix(end == std::string_view::npos ? mountInfo.size() : end + 1);
    // ID, parent ID, major:minor, root, then the mount point.
    for (int field = 0; field < 4 && !line.empty(); ++field) {
      const std::size_t blank = line.find(' ');
      line.remove_prefix(blank == std::string_view::npos ? line.size() : blank + 1);
    }
    if (unescaped(line.substr(0, line.find(' '))) == path) return true;
  }
  return false;
}

}  // namespace varnick::control
