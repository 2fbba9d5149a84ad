#include "control/session_checks.h"

#include <iterator>
#include <map>
#include <utility>

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

std::string hexDigits(unsigned char c) {
  const char digits[] = "0123456789ABCDEF";
  return {digits[c >> 4], digits[c & 15]};
}

// The text between `prefix` and `suffix` when `text` starts and ends with them.
std::optional<std::string_view> between(std::string_view text, std::string_view prefix,
                                        std::string_view suffix) {
  if (text.size() < prefix.size() + suffix.size() || text.substr(0, prefix.size()) != prefix ||
      text.substr(text.size() - suffix.size()) != suffix) {
    return std::nullopt;
  }
  return text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
}

// A line and a start time, from "<prefix><line><middle><start><suffix>". The
// time never holds `middle`; the line, being anyone's, might.
std::optional<std::pair<std::string, std::string>> lineAndStart(std::string_view message,
                                                                std::string_view prefix,
                                                                std::string_view middle,
                                                                std::string_view suffix) {
  std::optional<std::string_view> inner = between(message, prefix, suffix);
  std::size_t at = inner ? inner->rfind(middle) : std::string_view::npos;
  if (at == std::string_view::npos) return std::nullopt;
  return std::make_pair(std::string(inner->substr(0, at)),
                        std::string(inner->substr(at + middle.size())));
}

// Varnick's record of a line that its recovery took out.
constexpr std::string_view kRemovedPrefix = "Removed '";
constexpr std::string_view kRemovedMiddle = "' left by the session started ";

std::string recoveryNote(std::string_view message) {
  constexpr std::string_view kInterrupted = "an interrupted session that started ";
  if (auto removed = lineAndStart(message, kRemovedPrefix, kRemovedMiddle, "")) {
    return "removed '" + removed->first + "', left by " + std::string(kInterrupted) +
           removed->second;
  }
  if (auto skipped = lineAndStart(message, "Skipped '", "' of the session started ",
                                  ": no longer in the hosts file")) {
    return "skipped '" + skipped->first + "', added by " + std::string(kInterrupted) +
           skipped->second + ": it is no longer in the hosts file";
  }
  if (auto started = between(message, "Recovered the interrupted session started ", "")) {
    return "put right " + std::string(kInterrupted) + std::string(*started) +
           ", and removed its journal";
  }
  std::string note(message);
  if (!note.empty() && note[0] >= 'A' && note[0] <= 'Z')
    note[0] = static_cast<char>(note[0] - 'A' + 'a');
  return note;
}

std::string withSize(const FileFact& file) {
  return file.path + (file.size ? " (" + sizeText(*file.size) + ")" : " (not there)");
}

std::string errorText(unsigned long error) { return "error " + std::to_string(error); }

std::string sessionLine(const StatusFacts& facts) {
  std::size_t running = 0;
  for (const JournalFact& journal : facts.journals)
    running += journal.running ? 1 : 0;
  if (running == 0) return "sessions: none is running";
  return "sessions: " + std::to_string(running) + (running == 1 ? " is" : " are") + " running";
}

std::string serverLine(const StatusFacts& facts) {
  switch (facts.server) {
    case Running::kYes:
      return "server: a Varnick is serving (a varnick server, or a session's Varnick)";
    case Running::kNo:
      return "server: no Varnick is serving";
    case Running::kHidden:
      return "server: a varnick server started by hand cannot be seen from a prompt that is not "
             "elevated";
    case Running::kUnknown:
      break;
  }
  return "server: cannot tell whether a Varnick is serving (" + errorText(facts.serverError) + ")";
}

// A journal, its entries and its files. While a session runs, the journal
// is most likely its own; otherwise it is an interrupted session's.
void addJournalLines(const JournalFact& fact, std::vector<std::string>& lines) {
  const std::string what = fact.running ? "running session" : "interrupted session";
  std::optional<SessionJournal> journal;
  if (fact.bytes) {
    JournalRead read = readJournal(*fact.bytes);
    if (read.state == JournalState::kJournal) journal = std::move(read.journal);
  }
  if (journal) {
    const std::size_t count = journal->takenOut ? 0 : journal->lines.size();
    lines.push_back(what + ": started " + journal->started + ", " + std::to_string(count) +
                    (count == 1 ? " entry" : " entries") + " in the hosts file");
    if (!journal->takenOut) {
      for (const JournalLine& line : journal->lines)
        lines.push_back("  entry: " + visibleText(line.entry));
    }
  } else {
    lines.push_back(
        what + ": its journal cannot be read (" +
        (fact.bytes ? std::string("not a session journal") : errorText(fact.readError)) + ")");
  }
  lines.push_back("  journal: " + withSize(fact.journal));
  if (fact.backup.size) lines.push_back("  backup: " + withSize(fact.backup));
  if (!fact.running)
    lines.push_back("  to take its entries out of the hosts file, run: varnick-session --recover");
}

}  // namespace

std::string sizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kUnit = 1024;
  if (bytes < kUnit) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* const units[] = {"KB", "MB", "GB", "TB"};
  std::size_t unit = 0;
  std::uint64_t size = kUnit;
  std::uint64_t tenths = 0;
  for (;;) {
    // Rounded, and split so that no multiplication can overflow.
    tenths = bytes / size * 10 + (bytes % size * 10 + size / 2) / size;
    // 1023.96 KB reads as 1.0 MB, not as 1024.0 KB.
    if (tenths < kUnit * 10 || unit + 1 == std::size(units)) break;
    size *= kUnit;
    ++unit;
  }
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + units[unit];
}

std::vector<std::string> statusLines(const StatusFacts& facts) {
  std::vector<std::string> lines;
  lines.push_back(facts.hostsFile
                      ? "hosts file: " + withSize(*facts.hostsFile)
                      : "hosts file: cannot be found through the registry value DataBasePath");
  lines.push_back(sessionLine(facts));
  lines.push_back(serverLine(facts));
  bool interrupted = false;
  for (const JournalFact& journal : facts.journals) {
    addJournalLines(journal, lines);
    interrupted = interrupted || !journal.running;
  }
  if (!interrupted) lines.emplace_back("interrupted sessions: none");
  for (const FileFact& backup : facts.backupsAlone)
    lines.push_back("session backup without its journal: " + withSize(backup));
  if (facts.tempCopies == 0) {
    lines.push_back("temporary copies from varnick del: none in " + facts.tempFolder);
  } else {
    lines.push_back("temporary copies from varnick del: " + std::to_string(facts.tempCopies) +
                    " in " + facts.tempFolder + ", " + sizeText(facts.tempBytes) + " in all");
    lines.emplace_back(
        "  varnick del leaves one each time; other programs may name files so too: look at "
        "them (dir \"%TEMP%\\hos*.tmp\") before deleting any");
  }
  lines.push_back(facts.log ? "varnick.log: " + withSize(*facts.log)
                            : "varnick.log: cannot be found: LOCALAPPDATA is not set");
  return lines;
}

std::optional<std::string> entryProblem(std::string_view bytes) {
  if (bytes.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return "holds a line break or a zero character";
  }
  // The hosts file's readers do not agree on these: Ctrl+Z ends a file read
  // in text mode, and VT or FF part two names for some readers and belong to
  // a name for others.
  for (char c : bytes) {
    if (isControl(static_cast<unsigned char>(c)))
      return "holds the control character 0x" + hexDigits(static_cast<unsigned char>(c));
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
          shown += "\\x" + hexDigits(static_cast<unsigned char>(c));
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

namespace {

// The messages of the whole records of `category` ("Recovery - ") in
// `logText`, in order.
std::vector<std::string_view> categoryMessages(std::string_view logText,
                                               std::string_view category) {
  // The time (8), a blank, the level (5), a blank: then the category.
  constexpr std::size_t kCategoryAt = 15;
  std::vector<std::string_view> messages;
  for (std::size_t end; (end = logText.find('\n')) != std::string_view::npos;
       logText.remove_prefix(end + 1)) {
    std::string_view record = logText.substr(0, end);
    if (!record.empty() && record.back() == '\r') record.remove_suffix(1);
    if (record.size() >= kCategoryAt + category.size() &&
        record.substr(kCategoryAt, category.size()) == category) {
      messages.push_back(record.substr(kCategoryAt + category.size()));
    }
  }
  return messages;
}

}  // namespace

std::vector<std::string> recoveryNotes(std::string_view logText) {
  std::vector<std::string> notes;
  for (std::string_view message : categoryMessages(logText, "Recovery - "))
    notes.push_back(visibleText(recoveryNote(message)));
  return notes;
}

std::vector<std::string> sessionEndNotes(std::string_view logText, unsigned port) {
  const std::string session = "Session on port " + std::to_string(port) + " ";
  std::vector<std::string> notes;
  for (std::string_view message : categoryMessages(logText, "Server - ")) {
    if (auto taken = between(message, session + "took out '", "'")) {
      notes.push_back("took out '" + visibleText(*taken) + "'");
    } else if (auto left =
                   between(message, session + "left '", "': no longer a line of the hosts file")) {
      notes.push_back("left '" + visibleText(*left) +
                      "': someone changed or removed that line of the hosts file meanwhile");
    }
  }
  return notes;
}

std::vector<RecoveredLine> recoveredLines(std::string_view logText) {
  std::vector<RecoveredLine> lines;
  for (std::string_view message : categoryMessages(logText, "Recovery - ")) {
    if (auto removed = lineAndStart(message, kRemovedPrefix, kRemovedMiddle, ""))
      lines.push_back({std::move(removed->first), std::move(removed->second)});
  }
  return lines;
}

}  // namespace varnick::control
