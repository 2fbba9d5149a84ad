// Whether an entry reads as one line of a Windows hosts file, what it says,
// and whether a hosts file already holds it: varnick-session checks what it
// is asked to keep, and the service what any user sends it.
#pragma once

#include <cstddef>

#include "hosts/entry_bytes.h"
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnick {

// An entry may be as long as `varnick add`: its conversion room less
// the NUL.
constexpr std::size_t kMaxSessionEntryBytes = kEntryConversionRoom - 1;

// Why an entry, in the bytes it is sent as, cannot go into the hosts file as
// one line of what it says: it holds a CR, LF or NUL, another control
// character than tab (VT, FF, Ctrl+Z, DEL ...), or is longer than 254 bytes.
// Nothing when it can. In the OEM code pages and in UTF-8 alike, a byte
// below 0x20 or 0x7F is that control character and never part of another.
std::optional<std::string> entryProblem(std::string_view bytes);

// Whether `c` is a control byte that an entry may not hold: any below 0x20
// but tab, and DEL.
constexpr bool isControlByte(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

// Windows reads at most this many host names on one hosts line.
constexpr std::size_t kMaxNamesPerLine = 9;
// DNS limits on a name, in bytes.
constexpr std::size_t kMaxLabelBytes = 63;
constexpr std::size_t kMaxNameBytes = 253;

// The words of entrySyntaxProblem's answers. They complete "the entry '<entry>' ",
// so they read as a predicate. Where a text begins or ends with a blank, the
// quoted field, name or character, or the count of names, goes there.
namespace entry_syntax_text {
inline constexpr std::string_view kEmpty =
    "is empty: a hosts line needs an address and a host name";
inline constexpr std::string_view kComment = "is a comment, not an entry";
inline constexpr std::string_view kNotAnAddress = " is not an IPv4 or IPv6 address";
inline constexpr std::string_view kAddressComesFirst = "; the address comes first";
inline constexpr std::string_view kPortLead = "has a port (";
inline constexpr std::string_view kPort =
    "): a hosts line maps names to an address alone; give the port to the program instead";
inline constexpr std::string_view kNoHostName = "has no host name after the address ";
inline constexpr std::string_view kTooManyNamesLead = "has ";
inline constexpr std::string_view kTooManyNames = " host names; Windows reads at most 9 on a line";
inline constexpr std::string_view kNotAHostName = " is not a host name: ";
inline constexpr std::string_view kBadCharacter = " may not stand in a name";
inline constexpr std::string_view kEmptyLabel = "a label is empty";
inline constexpr std::string_view kLongLabel = "a label is longer than 63 characters";
inline constexpr std::string_view kHyphenAtLabelEdge = "a label starts or ends with a hyphen";
inline constexpr std::string_view kLongName = "it is longer than 253 characters";
}  // namespace entry_syntax_text

// Why `entry` (UTF-8 text, as the user gave it) is not one hosts-file line of
// the form "<address> <name> [<name> ...] [# comment]"; nothing when it is.
// The first fault found is named: the address, then the number of names, then
// each name in turn; a comment is not checked.
[[nodiscard]] std::optional<std::string> entrySyntaxProblem(std::string_view entry);

// The port written after the address that starts `entry`, colon included
// (":3000" of "127.0.0.1:3000 a.test" or "[::1]:3000 a.test"); nothing when
// its first field is no address with a port. A hosts line has no place for
// one, so entrySyntaxProblem names it.
[[nodiscard]] std::optional<std::string> portAfterAddress(std::string_view entry);

// What an entry that entrySyntaxProblem passes says: its address, as
// written, and its host names. Nothing for one that it does not pass.
struct HostsLine {
  std::string address;
  std::vector<std::string> names;
};
[[nodiscard]] std::optional<HostsLine> parseHostsLine(std::string_view entry);

// Which of some entries a hosts file holds as whole lines (lines end in CR
// LF, LF, or the end of the file; compared byte for byte without the line
// end), read in pieces of any size: a large file need not be in memory.
class WholeLineFinder {
 public:
  explicit WholeLineFinder(std::vector<std::string> entries);
  void feed(std::string_view piece);
  // After the last piece: for each entry, in order, whether it was found.
  [[nodiscard]] std::vector<bool> finish();

 private:
  void endLine(std::string_view line);
  std::vector<std::string> entries_;
  std::vector<bool> found_;
  std::size_t longest_ = 0;
  std::string line_;      // the line read so far, while it could still be an entry
  bool tooLong_ = false;  // the line is longer than any entry (and a CR)
};

// Whether `hostsFile` holds `entry` as a whole line.
[[nodiscard]] bool holdsLine(std::string_view hostsFile, std::string_view entry);

}  // namespace varnick
