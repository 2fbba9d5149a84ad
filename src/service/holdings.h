// Who holds which entries through the Varnick service, kept by user: the
// bounds (a connection's, a user's, the service's), the names each user
// holds, and what each caller may see of them. Not thread-safe: the
// service asks it under one lock, so that a check and the count it makes
// are one step and two connections that ask together never pass a bound
// together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "service/entry_policy.h"

namespace varnick {

// Who a connection acts for, as the service read it from the client's
// process token.
struct Caller {
  std::string user;     // the account's SID, what quotas and names are kept by
  std::string account;  // "DOMAIN\user (process 42)", for lists and records
  bool administrator = false;
};

class Holdings {
 public:
  explicit Holdings(const EntryPolicy& policy) : policy_(policy) {}

  // Checks `entry` for the connection `connection` of `caller` against the
  // policy, the bounds and the names other users hold and, when allowed,
  // counts it as held at once. Whose a held name is, is said to an
  // administrator only.
  [[nodiscard]] PolicyVerdict reserve(std::uint64_t connection, const Caller& caller,
                                      std::string_view entry);

  // Gives back one entry that reserve counted (its append failed).
  void release(std::uint64_t connection, std::string_view entry);

  // Gives back everything the connection holds (its end).
  void releaseAll(std::uint64_t connection);

  // What `caller` may see: one line a connection, "account: entry, entry";
  // the caller's own user's connections, or every one for an administrator.
  [[nodiscard]] std::string listFor(const Caller& caller) const;

 private:
  struct Held {
    Caller caller;
    std::vector<std::string> entries;
  };
  struct NameHolder {
    std::string user;
    std::string account;  // the first holder's, for an administrator's reason
    std::size_t count = 0;
  };

  void count(const std::string& user, std::string_view entry, int by, const Caller* caller);

  const EntryPolicy& policy_;
  std::map<std::uint64_t, Held> connections_;
  std::map<std::string, std::size_t> byUser_;
  std::map<std::string, NameHolder> names_;  // lower-cased name to its holder
  std::size_t inAll_ = 0;
};

}  // namespace varnick
