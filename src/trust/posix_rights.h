// Whether anyone but root could change a file or folder on a POSIX system:
// its owner, its mode and its access ACL, as portable values. A program that
// is about to run as root is trusted only when nobody else could have
// changed it or any folder above it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnick::control {

struct PosixRights {
  std::uint32_t owner = 0;  // uid
  std::uint32_t group = 0;  // gid
  std::uint32_t mode = 0;   // the permission bits of st_mode
  // The value of the extended attribute system.posix_acl_access, as the
  // kernel gives it; empty when the object has no ACL beyond its mode.
  std::string acl;
};

// Who, besides root, could change it.
struct PosixChanger {
  enum class Who {
    kOwner,     // `id` owns it, and an owner may always change the mode
    kGroup,     // the members of group `id` may write it
    kOthers,    // everyone may write it
    kAclUser,   // its ACL lets user `id` write it
    kAclGroup,  // its ACL lets group `id` write it
    kAclUnread  // its ACL is in a form this check does not read
  };
  Who who = Who::kOwner;
  std::uint32_t id = 0;
  bool operator==(const PosixChanger& other) const { return who == other.who && id == other.id; }
};

// The first of those who could change it: the owner when it is not root,
// then the group and others by the mode's write bits (a group write bit is
// refused whoever its members are: only root's own group would be safe, and
// telling its members apart is not worth a refusal less), then the named
// users and groups of an ACL that may write, as its mask lets them. Nothing
// when only root could. A sticky folder is no exception: anyone could make
// a name in it that a later look would follow.
std::optional<PosixChanger> posixChanger(const PosixRights& rights);

// The users and groups that an access ACL (system.posix_acl_access, version
// 2: a 4-byte header, then 8 bytes an entry, each a 16-bit tag, 16-bit
// permissions and 32-bit id, little-endian) lets write, as its mask lets
// them; root aside.
std::optional<PosixChanger> aclWriter(std::string_view acl);

}  // namespace varnick::control
