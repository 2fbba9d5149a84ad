#include "control/log_notes.h"

#include <utility>

#include "control/session_checks.h"

namespace varnick::control {
namespace {

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
