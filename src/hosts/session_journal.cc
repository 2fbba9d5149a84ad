#include "hosts/session_journal.h"

namespace varnick {
namespace {

constexpr std::string_view kMagic = "varnick session journal 1\r\n";
constexpr std::string_view kStarted = "started ";
constexpr std::string_view kLineEnd = "\r\n";
constexpr char kHex[] = "0123456789abcdef";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> fromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

// Where the last whole line "CR LF entry" of `hosts` starts: followed by
// CR LF or by the end of the file. npos when there is none.
std::size_t findLastLine(const std::string& hosts, const std::string& line) {
  if (hosts.size() < line.size()) return std::string::npos;
  std::size_t from = hosts.size() - line.size();
  for (;;) {
    std::size_t at = hosts.rfind(line, from);
    if (at == std::string::npos) return std::string::npos;
    std::size_t after = at + line.size();
    if (after == hosts.size() || hosts.compare(after, kLineEnd.size(), kLineEnd) == 0) return at;
    if (at == 0) return std::string::npos;
    from = at - 1;
  }
}

}  // namespace

std::string journalHeader(std::string_view started) {
  std::string header(kMagic);
  header.append(kStarted).append(started).append(kLineEnd);
  return header;
}

std::string journalRecord(std::string_view entry) {
  std::string record;
  record.reserve(entry.size() * 2 + kLineEnd.size());
  for (char c : entry) {
    auto byte = static_cast<unsigned char>(c);
    record.push_back(kHex[byte >> 4]);
    record.push_back(kHex[byte & 15]);
  }
  return record.append(kLineEnd);
}

std::optional<SessionJournal> parseJournal(std::string_view content) {
  if (content.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  content.remove_prefix(kMagic.size());
  std::size_t end = content.find(kLineEnd);
  if (end == std::string_view::npos || content.substr(0, kStarted.size()) != kStarted)
    return std::nullopt;
  SessionJournal journal;
  journal.started = std::string(content.substr(kStarted.size(), end - kStarted.size()));
  content.remove_prefix(end + kLineEnd.size());
  // Only whole records count: one that a crash cut short was never followed
  // by a reply, and its line may or may not be in the hosts file.
  while ((end = content.find(kLineEnd)) != std::string_view::npos) {
    std::optional<std::string> entry = fromHex(content.substr(0, end));
    if (!entry) return std::nullopt;
    journal.lines.push_back(std::move(*entry));
    content.remove_prefix(end + kLineEnd.size());
  }
  return journal;
}

LineRemoval removeJournalLines(std::string hosts, const std::vector<std::string>& lines) {
  LineRemoval result;
  std::vector<bool> found(lines.size(), false);
  for (std::size_t i = lines.size(); i-- > 0;) {
    std::string line = std::string(kLineEnd) + lines[i];
    std::size_t at = findLastLine(hosts, line);
    if (at == std::string::npos) continue;
    hosts.erase(at, line.size());
    found[i] = true;
  }
  for (std::size_t i = 0; i < lines.size(); ++i)
    (found[i] ? result.removed : result.missing).push_back(lines[i]);
  result.hosts = std::move(hosts);
  return result;
}

}  // namespace varnick
