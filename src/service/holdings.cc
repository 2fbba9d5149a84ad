#include "service/holdings.h"

#include <algorithm>
#include <optional>

#include "hosts/entry_syntax.h"

namespace varnick {
namespace {

std::string lowered(std::string_view name) {
  std::string text(name);
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return text;
}

std::vector<std::string> namesOf(std::string_view entry) {
  std::vector<std::string> names;
  if (std::optional<HostsLine> line = parseHostsLine(entry)) {
    for (const std::string& name : line->names)
      names.push_back(lowered(name));
  }
  return names;
}

}  // namespace

PolicyVerdict Holdings::reserve(std::uint64_t connection, const Caller& caller,
                                std::string_view entry) {
  const auto held = connections_.find(connection);
  const std::size_t byConnection = held == connections_.end() ? 0 : held->second.entries.size();
  PolicyVerdict verdict = checkEntry(policy_, entry, byConnection, inAll_);
  if (!verdict.allowed()) return verdict;
  const auto user = byUser_.find(caller.user);
  const std::size_t byUser = user == byUser_.end() ? 0 : user->second;
  if (byUser >= policy_.maxPerUser) {
    return {PolicyRule::kPerUser, "your connections hold " + std::to_string(byUser) +
                                      " entries, as many as one user may"};
  }
  for (const std::string& name : namesOf(entry)) {
    const auto holder = names_.find(name);
    if (holder == names_.end() || holder->second.user == caller.user) continue;
    return {PolicyRule::kNameHeld,
            "'" + name + "' is held by " +
                (caller.administrator ? holder->second.account : std::string("another user")) +
                " until its connection ends"};
  }
  Held& mine = connections_[connection];
  mine.caller = caller;
  mine.entries.emplace_back(entry);
  count(caller.user, entry, 1, &caller);
  return verdict;
}

void Holdings::release(std::uint64_t connection, std::string_view entry) {
  const auto held = connections_.find(connection);
  if (held == connections_.end()) return;
  std::vector<std::string>& entries = held->second.entries;
  const auto it = std::find(entries.begin(), entries.end(), entry);
  if (it == entries.end()) return;
  count(held->second.caller.user, *it, -1, nullptr);
  entries.erase(it);
  if (entries.empty()) connections_.erase(held);
}

void Holdings::releaseAll(std::uint64_t connection) {
  const auto held = connections_.find(connection);
  if (held == connections_.end()) return;
  for (const std::string& entry : held->second.entries)
    count(held->second.caller.user, entry, -1, nullptr);
  connections_.erase(held);
}

void Holdings::count(const std::string& user, std::string_view entry, int by,
                     const Caller* caller) {
  inAll_ += by;
  if ((byUser_[user] += by) == 0) byUser_.erase(user);
  for (const std::string& name : namesOf(entry)) {
    NameHolder& holder = names_[name];
    if (caller && holder.count == 0) holder = {user, caller->account, 0};
    if ((holder.count += by) == 0) names_.erase(name);
  }
}

std::string Holdings::listFor(const Caller& caller) const {
  std::string text;
  for (const auto& [connection, held] : connections_) {
    if (!caller.administrator && held.caller.user != caller.user) continue;
    std::string entries;
    for (const std::string& entry : held.entries)
      entries += (entries.empty() ? "" : ", ") + entry;
    text += (text.empty() ? "" : "\n") + held.caller.account + ": " + entries;
  }
  return text;
}

}  // namespace varnick
