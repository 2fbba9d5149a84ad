#include "session/session_driver.h"

#include <ctime>
#include <utility>

#include "hosts/entry_syntax.h"
#include "log/log_clock.h"
#include "session/session_events.h"

namespace varnick::control {
namespace {

// Adds every entry, unless the way in took them when it opened; the number
// added goes to `added` as they go in.
SessionStep addEntries(SessionTransport& transport, SessionHost& host,
                       const std::vector<SessionEntry>& entries, std::size_t& added) {
  if (transport.addedWhenOpened()) {
    added = entries.size();
    return {};
  }
  transport.beforeAdds();
  warnAboutLinesAlreadyThere(host, entries);
  for (const SessionEntry& entry : entries) {
    if (std::optional<int> code = host.interruption()) {
      report("interrupted before all the entries were added; the command was not run");
      return unexpected(*code);
    }
    if (SessionStep step = transport.add(entry); !step) return step;
    ++added;
  }
  if (std::optional<int> code = host.interruption()) {
    report("interrupted before the command started; the command was not run");
    return unexpected(*code);
  }
  return {};
}

// The local time `seconds` from now, "HH:MM:SS".
std::string localTimeIn(int seconds) {
  const std::tm local = localTimeAt(std::time(nullptr) + seconds);
  char text[16] = "?";
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

int hold(SessionHost& host, std::optional<int> holdSeconds) {
  if (holdSeconds) {
    notice("the entries are in the hosts file until " + localTimeIn(*holdSeconds) + " (" +
           std::to_string(*holdSeconds) + " s); press Enter or Ctrl+C to remove them sooner");
  } else {
    notice("the entries are in the hosts file; press Enter or Ctrl+C to remove them");
  }
  return host.holdUntilEnter(holdSeconds);
}

}  // namespace

void warnAboutLinesAlreadyThere(const SessionHost& host, const std::vector<SessionEntry>& entries) {
  std::vector<std::string> lines;
  lines.reserve(entries.size());
  for (const SessionEntry& entry : entries)
    lines.push_back(entry.bytes);
  WholeLineFinder finder(std::move(lines));
  host.readHostsFile([&finder](std::string_view piece) { finder.feed(piece); });
  std::vector<bool> found = finder.finish();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (found[i])
      notice("the hosts file already holds the line '" + entries[i].shown + "'; it is added again");
  }
}

SessionOutcome driveSession(SessionTransport& transport, SessionHost& host, const SessionPlan& plan,
                            const EventStream& events) {
  std::size_t added = 0;
  const SessionStep adds = addEntries(transport, host, plan.entries, added);
  CommandEnd result{adds ? 0 : adds.error(), false};
  if (adds) {
    std::vector<std::string> shown;
    shown.reserve(plan.entries.size());
    for (const SessionEntry& entry : plan.entries)
      shown.push_back(entry.shown);
    events.write(readyEvent(shown, plan.hostsFileShown, transport.route()));
    result = plan.runsCommand ? host.runCommand() : CommandEnd{hold(host, plan.holdSeconds), false};
  }
  transport.beforeEnd();
  const SessionStep ending = transport.end();
  if (!ending && (added != 0 || adds)) return unexpected(ending.error());
  if (result.commandsOwn && host.interruptedLate()) return unexpected(kSessionInterrupted);
  if (!result.commandsOwn && result.code != 0) return unexpected(result.code);
  return result.code;
}

}  // namespace varnick::control
