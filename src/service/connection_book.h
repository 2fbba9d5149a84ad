// The bound on the Varnick service's connections, kept by user: a
// connection costs memory whatever it says, so each user may keep so many
// open and all users together so many. A new connection over a bound takes
// the place of the oldest that holds no entries (the user's own, or else
// one of the user with the most), so that a flood of silent connections
// costs its sender, never another user's session; when every connection in
// the way holds entries, the new one is turned away. Not thread-safe: the
// pipe server asks it under its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace varnick {

struct ConnectionBounds {
  std::size_t perUser = 64;
  std::size_t inAll = 512;
};

class ConnectionBook {
 public:
  explicit ConnectionBook(ConnectionBounds bounds) : bounds_(bounds) {}

  struct Admission {
    bool admitted = false;
    std::optional<std::uint64_t> displaced;  // the connection to close for it
  };

  // Admits the connection `id` of `user`, ids rising with age; `holds`
  // says whether a connection holds entries. A displaced connection is
  // out of the book at once.
  [[nodiscard]] Admission admit(std::uint64_t id, const std::string& user,
                                const std::function<bool(std::uint64_t)>& holds);

  // The connection is over; nothing when it was not (or no longer) here.
  void remove(std::uint64_t id);

  std::size_t size() const { return open_.size(); }

 private:
  // The oldest connection of `user` that holds nothing.
  std::optional<std::uint64_t> idleOf(const std::string& user,
                                      const std::function<bool(std::uint64_t)>& holds) const;

  ConnectionBounds bounds_;
  std::map<std::uint64_t, std::string> open_;  // id to user, oldest first
  std::map<std::string, std::size_t> perUser_;
};

}  // namespace varnick
