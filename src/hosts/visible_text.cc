#include "hosts/visible_text.h"

#include "base/hex_text.h"
#include "hosts/entry_syntax.h"

namespace varnick {

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
        if (isControlByte(static_cast<unsigned char>(c))) {
          shown += "\\x" + hexByte(static_cast<unsigned char>(c), HexCase::kUpper);
        } else {
          shown += c;
        }
    }
  }
  return shown;
}

}  // namespace varnick
