#include "service/connection_book.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace varnick {

std::optional<std::uint64_t> ConnectionBook::idleOf(
    const std::string& user, const std::function<bool(std::uint64_t)>& holds) const {
  for (const auto& [id, owner] : open_) {
    if (owner == user && !holds(id)) return id;
  }
  return std::nullopt;
}

ConnectionBook::Admission ConnectionBook::admit(std::uint64_t id, const std::string& user,
                                                const std::function<bool(std::uint64_t)>& holds) {
  Admission admission;
  const auto mine = perUser_.find(user);
  if (mine != perUser_.end() && mine->second >= bounds_.perUser) {
    admission.displaced = idleOf(user, holds);
    if (!admission.displaced) return admission;
  } else if (open_.size() >= bounds_.inAll) {
    // The users with the most connections give way first.
    std::vector<std::pair<std::size_t, std::string>> users;
    for (const auto& [owner, count] : perUser_)
      users.emplace_back(count, owner);
    std::sort(users.rbegin(), users.rend());
    for (const auto& [count, owner] : users) {
      if ((admission.displaced = idleOf(owner, holds))) break;
    }
    if (!admission.displaced) return admission;
  }
  if (admission.displaced) remove(*admission.displaced);
  open_.emplace(id, user);
  ++perUser_[user];
  admission.admitted = true;
  return admission;
}

void ConnectionBook::remove(std::uint64_t id) {
  const auto it = open_.find(id);
  if (it == open_.end()) return;
  if (--perUser_[it->second] == 0) perUser_.erase(it->second);
  open_.erase(it);
}

}  // namespace varnick
