#include "hosts/entry_syntax.h"

#include <algorithm>
#include <vector>

#include "base/hex_text.h"
#include "hosts/ip_address.h"

namespace varnick {
namespace {

namespace text = entry_syntax_text;

// Characters are classified by hand: <cctype> depends on the locale and is
// undefined for the bytes of UTF-8 text above 0x7F.
bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes of 0x80 and above are letters: a name beyond ASCII arrives in UTF-8
// or the OEM code page, and whether Windows can use it is decided elsewhere.
bool isNameCharacter(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
         u >= 0x80;
}

std::string inQuotes(std::string_view s) { return "'" + std::string(s) + "'"; }

// The fields of `entry` up to the one that starts a comment.
std::vector<std::string_view> fieldsBeforeComment(std::string_view entry) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < entry.size()) {
    if (isBlank(entry[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < entry.size() && !isBlank(entry[end]))
      ++end;
    if (entry[at] == '#') break;
    fields.push_back(entry.substr(at, end - at));
    at = end;
  }
  return fields;
}

bool isAddress(std::string_view field) { return parseIpAddress(field).has_value(); }

// ":3000" of "127.0.0.1:3000" or "[::1]:3000": one to five digits after an
// address; nothing for anything else.
std::optional<std::string> portOf(std::string_view field) {
  const std::size_t colon = field.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view port = field.substr(colon + 1);
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), isDigit))
    return std::nullopt;
  std::string_view address = field.substr(0, colon);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  } else if (address.find(':') != std::string_view::npos) {
    return std::nullopt;  // "::1:3000" is an IPv6 address, and no port
  }
  if (!isAddress(address)) return std::nullopt;
  return std::string(field.substr(colon));
}

std::string addressProblem(const std::vector<std::string_view>& fields) {
  std::string problem = inQuotes(fields[0]) + std::string(text::kNotAnAddress);
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (isAddress(fields[i])) return problem + std::string(text::kAddressComesFirst);
  }
  return problem;
}

std::optional<std::string_view> labelProblem(std::string_view label) {
  if (label.empty()) return text::kEmptyLabel;
  if (label.size() > kMaxLabelBytes) return text::kLongLabel;
  if (label.front() == '-' || label.back() == '-') return text::kHyphenAtLabelEdge;
  return std::nullopt;
}

// Why `name` is not a DNS name: its first bad character, else its first bad
// label, else its length.
std::optional<std::string> hostNameProblem(std::string_view name) {
  for (char c : name) {
    if (c != '.' && !isNameCharacter(c))
      return inQuotes(std::string(1, c)) + std::string(text::kBadCharacter);
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = name.find('.', start);
    if (auto why = labelProblem(name.substr(start, dot - start))) return std::string(*why);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (name.size() > kMaxNameBytes) return std::string(text::kLongName);
  return std::nullopt;
}

std::optional<std::string> namesProblem(const std::vector<std::string_view>& fields) {
  const std::size_t names = fields.size() - 1;
  if (names == 0) return std::string(text::kNoHostName) + inQuotes(fields[0]);
  if (names > kMaxNamesPerLine)
    return std::string(text::kTooManyNamesLead) + std::to_string(names) +
           std::string(text::kTooManyNames);
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (auto why = hostNameProblem(fields[i]))
      return inQuotes(fields[i]) + std::string(text::kNotAHostName) + *why;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> entryProblem(std::string_view bytes) {
  if (bytes.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return "holds a line break or a zero character";
  }
  // The hosts file's readers do not agree on these: Ctrl+Z ends a file read
  // in text mode, and VT or FF part two names for some readers and belong to
  // a name for others.
  for (char c : bytes) {
    if (isControlByte(static_cast<unsigned char>(c)))
      return "holds the control character 0x" +
             hexByte(static_cast<unsigned char>(c), HexCase::kUpper);
  }
  if (bytes.size() > kMaxSessionEntryBytes) {
    return "is " + std::to_string(bytes.size()) + " bytes long as sent; at most " +
           std::to_string(kMaxSessionEntryBytes) + " fit";
  }
  return std::nullopt;
}

std::optional<std::string> entrySyntaxProblem(std::string_view entry) {
  const std::size_t first = entry.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::string(text::kEmpty);
  if (entry[first] == '#') return std::string(text::kComment);
  const std::vector<std::string_view> fields = fieldsBeforeComment(entry);
  if (std::optional<std::string> port = portOf(fields[0]))
    return std::string(text::kPortLead) + *port + std::string(text::kPort);
  if (!isAddress(fields[0])) return addressProblem(fields);
  return namesProblem(fields);
}

std::optional<std::string> portAfterAddress(std::string_view entry) {
  const std::vector<std::string_view> fields = fieldsBeforeComment(entry);
  if (fields.empty()) return std::nullopt;
  return portOf(fields[0]);
}

std::optional<HostsLine> parseHostsLine(std::string_view entry) {
  if (entrySyntaxProblem(entry)) return std::nullopt;
  const std::vector<std::string_view> fields = fieldsBeforeComment(entry);
  HostsLine line{std::string(fields[0]), {}};
  for (std::size_t i = 1; i < fields.size(); ++i)
    line.names.emplace_back(fields[i]);
  return line;
}

WholeLineFinder::WholeLineFinder(std::vector<std::string> entries)
    : entries_(std::move(entries)), found_(entries_.size(), false) {
  for (const std::string& entry : entries_)
    longest_ = std::max(longest_, entry.size());
}

void WholeLineFinder::feed(std::string_view piece) {
  while (!piece.empty()) {
    const std::size_t end = piece.find('\n');
    const std::string_view part = piece.substr(0, end);
    // A line longer than every entry and its CR is none of them: not kept.
    if (!tooLong_ && line_.size() + part.size() <= longest_ + 1) {
      line_.append(part);
    } else {
      tooLong_ = true;
      line_.clear();
    }
    if (end == std::string_view::npos) return;
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!tooLong_) endLine(line);
    line_.clear();
    tooLong_ = false;
    piece.remove_prefix(end + 1);
  }
}

void WholeLineFinder::endLine(std::string_view line) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i] == line) found_[i] = true;
  }
}

std::vector<bool> WholeLineFinder::finish() {
  // The last line may end with the file; its CR then belongs to it.
  if (!line_.empty() && !tooLong_) endLine(line_);
  line_.clear();
  tooLong_ = false;
  return found_;
}

bool holdsLine(std::string_view hostsFile, std::string_view entry) {
  WholeLineFinder finder({std::string(entry)});
  finder.feed(hostsFile);
  return finder.finish()[0];
}

}  // namespace varnick
