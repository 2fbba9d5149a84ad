#include "control/session_checks.h"

#include <utility>

#include "base/hex_text.h"
#include "hosts/session_journal.h"

namespace varnick::control {
namespace {

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

}  // namespace varnick::control
